#include "simulator/SimulatorStore.h"

#include <stdlib.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>

#include "system/FileErrors.h"

namespace xmodemq {
namespace {

std::filesystem::path Parent() {
  for (const char* name : {"XDG_RUNTIME_DIR", "TMPDIR"})
    if (const char* value = std::getenv(name); value != nullptr && *value == '/') return value;
  return "/tmp";
}

}  // namespace

SimulatorStore::SimulatorStore() {
  // mkdtemp() makes the folder 0700 whatever the umask, and fails rather than
  // take a folder that exists.
  std::string pattern = (Parent() / "xmodemq-serveur-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr)
    throw FileFailure(FileError("créer le dossier du serveur", pattern, errno));
  path_ = pattern;
}

SimulatorStore::~SimulatorStore() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

}  // namespace xmodemq
