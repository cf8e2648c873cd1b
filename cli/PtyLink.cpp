#include "PtyLink.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

namespace xmodemq {
namespace {

[[noreturn]] void Fail(int err, const std::string& what) {
  throw std::system_error(err, std::generic_category(), what);
}

}  // namespace

PtyLink::PtyLink(std::string path, const std::string& target) : path_(std::move(path)) {
  struct stat st {};
  if (::lstat(path_.c_str(), &st) == 0 && !S_ISLNK(st.st_mode))
    Fail(EEXIST, path_ + " existe et n'est pas un lien symbolique");
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
    Fail(errno, "impossible de créer le lien " + temporary);
  if (::rename(temporary.c_str(), path_.c_str()) != 0) {
    const int err = errno;
    ::unlink(temporary.c_str());
    Fail(err, "impossible de créer le lien " + path_);
  }
  target_ = target;
}

}  // namespace xmodemq
