#include "simulator/PtyLink.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "system/FileErrors.h"

namespace xmodemq {
namespace {

// A claim on `path` that lasts as long as the descriptor: an abstract socket
// bound to a name made from the absolute path, so that two spellings of one
// path meet. Invalid when the name is taken.
UniqueFd Claim(const std::string& path) {
  std::error_code ec;
  const auto p = std::filesystem::absolute(path, ec);
  const auto parent = std::filesystem::weakly_canonical(p.parent_path(), ec);
  const std::string whole = (parent / p.filename()).string();
  std::uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : whole) hash = (hash ^ c) * 1099511628211ull;
  char name[64];
  const int length = std::snprintf(name, sizeof name, "xmodemq-simulate-%016llx",
                                   static_cast<unsigned long long>(hash));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path + 1, name, static_cast<std::size_t>(length));
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
  if (fd && ::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), size) != 0) {
    if (errno == EADDRINUSE) return {};
  }
  // Without sockets at all there is no claim to make: the link is served
  // unguarded rather than not at all.
  return fd ? std::move(fd) : UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
}

}  // namespace

PtyLink::PtyLink(std::string path, const std::string& target)
    : path_(std::move(path)), claim_(Claim(path_)) {
  if (!claim_)
    throw std::invalid_argument(path_ +
                                " est servi par un autre simulateur en marche : il est laissé tel "
                                "quel");
  struct stat st {};
  if (::lstat(path_.c_str(), &st) == 0 && !S_ISLNK(st.st_mode))
    throw Refusal(path_ + " existe et n'est pas un lien symbolique : il est laissé tel quel");
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
