#include "PtyLink.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "FileErrors.h"

namespace xmodemq {

PtyLink::PtyLink(std::string path, const std::string& target) : path_(std::move(path)) {
  struct stat st {};
  if (::lstat(path_.c_str(), &st) == 0 && !S_ISLNK(st.st_mode))
    throw FileFailure(path_ + " existe et n'est pas un lien symbolique : il est laissé tel quel");
  PointAt(target);
}

PtyLink::~PtyLink() {
  char buffer[4096];
  const ssize_t n = ::readlink(path_.c_str(), buffer, sizeof buffer - 1);
  if (n >= 0 && std::string(buffer, static_cast<std::size_t>(n)) == target_)
    ::unlink(path_.c_str());
}

void PtyLink::PointAt(const std::string& target) {
  const std::string temporary = path_ + ".new." + std::to_string(::getpid());
  ::unlink(temporary.c_str());
  if (::symlink(target.c_str(), temporary.c_str()) != 0)
    throw FileFailure(FileError("créer le lien", temporary, errno));
  if (::rename(temporary.c_str(), path_.c_str()) != 0) {
    const int err = errno;
    ::unlink(temporary.c_str());
    throw FileFailure(FileError("créer le lien", path_, err));
  }
  target_ = target;
}

}  // namespace xmodemq
