#include "demo/DemoFolder.h"

#include <stdlib.h>

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>

#include <system_error>

#include "system/FileErrors.h"
#include "system/UniqueFd.h"
#include "system/WriteAll.h"

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

void WriteWholeFile(const std::string& path, const std::string& bytes) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) throw FileFailure(FileError("créer", path, errno));
  int err = WriteAll(fd.Get(), bytes);
  if (err == 0 && ::fsync(fd.Get()) != 0) err = errno;
  if (err != 0) throw FileFailure(FileError("écrire", path, err));
}

}  // namespace xmodemq
