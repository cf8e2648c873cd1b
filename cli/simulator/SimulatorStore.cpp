#include "simulator/SimulatorStore.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "system/FileErrors.h"

namespace xmodemq {
namespace {

std::string Parent() {
  for (const char* name : {"XDG_RUNTIME_DIR", "TMPDIR"})
    if (const char* value = std::getenv(name); value != nullptr && *value == '/') return value;
  return "/tmp";
}

}  // namespace

SimulatorStore::SimulatorStore(const std::optional<std::string>& chosen) {
  if (!chosen) {
    // mkdtemp() makes the folder 0700 whatever the umask, and fails rather
    // than take a folder that exists.
    std::string pattern = Parent() + "/xmodemq-serveur-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
      throw FileFailure(FileError("créer le dossier du serveur", pattern, errno));
    private_ = true;
    folder_ = HeldFolder::Open(pattern);
    return;
  }
  if (::mkdir(chosen->c_str(), 0700) == 0) ::chmod(chosen->c_str(), 0700);
  folder_ = HeldFolder::Open(*chosen);
  struct stat st {};
  if (::fstat(Fd(), &st) != 0) throw FileFailure(FileError("lire", *chosen, errno));
  if (const auto why = NotPrivate(st))
    throw Refusal("le dossier du serveur " + *chosen + " " + *why +
                  " : un autre utilisateur pourrait y lire les fichiers reçus ou y mettre ceux "
                  "que le serveur sert. Donnez un dossier à vous seul (--store), ou aucun");
}

SimulatorStore::~SimulatorStore() {
  if (!private_) return;
  std::error_code ec;
  std::filesystem::remove_all(Path(), ec);
}

}  // namespace xmodemq
