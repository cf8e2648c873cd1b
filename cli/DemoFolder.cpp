#include "DemoFolder.h"

#include <stdlib.h>

#include <cerrno>
#include <system_error>

#include "FileErrors.h"

namespace xmodemq {

namespace fs = std::filesystem;

WorkDir::WorkDir(const std::optional<std::string>& chosen) {
  if (chosen) {
    path_ = *chosen;
    fs::create_directories(path_);
    keep_ = true;
    return;
  }
  std::string pattern = (fs::temp_directory_path() / "xmodemq-demo-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr)
    throw FileFailure(FileError("créer le dossier temporaire", pattern, errno));
  path_ = pattern;
}

WorkDir::~WorkDir() {
  if (keep_) return;
  std::error_code ec;
  fs::remove_all(path_, ec);
}

}  // namespace xmodemq
