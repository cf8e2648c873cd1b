#include "demo/DemoFolder.h"

#include <stdlib.h>

#include <fcntl.h>
#include <sys/stat.h>
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
    keep_ = true;
    if (::mkdir(chosen->c_str(), 0700) != 0 && errno != EEXIST)
      throw FileFailure(FileError("créer le dossier", *chosen, errno));
    for (int n = 1;; ++n) {
      path_ = fs::path(*chosen) / ("demo-" + std::to_string(n));
      if (::mkdir(path_.c_str(), 0700) == 0) return;
      if (errno != EEXIST) throw FileFailure(FileError("créer le dossier", path_.string(), errno));
    }
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
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) throw FileFailure(FileError("créer", path, errno));
  int err = WriteAll(fd.Get(), bytes);
  if (err == 0 && ::fsync(fd.Get()) != 0) err = errno;
  if (err != 0) throw FileFailure(FileError("écrire", path, err));
}

}  // namespace xmodemq
