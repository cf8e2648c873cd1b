// Preloaded into xmodemq by the tests, it gives the command the failures of a
// full disk or of a refused permission, whoever runs the tests:
//   XMQ_FAIL_OPEN=TEXT:ERRNO   open() and mkdir() of a path holding TEXT fail
//                              with ERRNO (open64() too);
//   XMQ_FAIL_WRITE=TEXT:BYTES  writes to files whose path holds TEXT fail
//                              with ENOSPC once BYTES have been written (the
//                              write that crosses the limit is cut short);
//   XMQ_SLOW_IO=TEXT:MS        each read or write of a file whose path holds
//                              TEXT first waits MS ms;
//   XMQ_FAIL_FSYNC=TEXT:ERRNO  fsync() of a file or folder whose path ends
//                              with TEXT fails with ERRNO;
//   XMQ_FAIL_FCHMOD=TEXT:ERRNO fchmod() of a file whose path holds TEXT fails
//                              with ERRNO.
// A name opened or made relative to a folder's descriptor is taken with the
// folder's path.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>

namespace {

// TEXT and the number after its last colon; an empty TEXT when not set.
std::pair<std::string, long> Rule(const char* name) {
  const char* env = std::getenv(name);
  if (env == nullptr) return {};
  const std::string setting = env;
  const auto colon = setting.rfind(':');
  return {setting.substr(0, colon), std::strtol(setting.c_str() + colon + 1, nullptr, 10)};
}

bool Refused(const char* path) {
  static const auto [text, error] = Rule("XMQ_FAIL_OPEN");
  if (text.empty() || path == nullptr || std::strstr(path, text.c_str()) == nullptr) return false;
  errno = static_cast<int>(error);
  return true;
}

template <typename F>
F Next(const char* name) {
  return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

// The path a descriptor stands for, or "".
std::string PathOf(int fd) {
  char path[4096] = {};
  if (::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path - 1) <= 0)
    return {};
  return path;
}

void SlowDown(int fd) {
  static const auto [slow, pause] = Rule("XMQ_SLOW_IO");
  if (!slow.empty() && PathOf(fd).find(slow) != std::string::npos)
    std::this_thread::sleep_for(std::chrono::milliseconds(pause));
}

bool RefusedAt(int folder, const char* name) {
  if (name == nullptr || name[0] == '/' || folder == AT_FDCWD) return Refused(name);
  return Refused((PathOf(folder) + "/" + name).c_str());
}

}  // namespace

extern "C" {

int openat(int folder, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode =
      (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(args, int)) : 0;
  va_end(args);
  if (RefusedAt(folder, path)) return -1;
  return Next<int (*)(int, const char*, int, ...)>("openat")(folder, path, flags, mode);
}

int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode =
      (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(args, int)) : 0;
  va_end(args);
  return openat(AT_FDCWD, path, flags, mode);
}

// SQLite opens its files through open64, the same call on this platform.
int open64(const char* path, int flags, ...) __attribute__((alias("open")));

int mkdirat(int folder, const char* path, mode_t mode) {
  if (RefusedAt(folder, path)) return -1;
  return Next<int (*)(int, const char*, mode_t)>("mkdirat")(folder, path, mode);
}

int mkdir(const char* path, mode_t mode) {
  return mkdirat(AT_FDCWD, path, mode);
}

// How much of a write to `fd` the disk takes: all of it, part of it, or
// nothing (-1, errno ENOSPC) once the limit is reached.
ssize_t Room(int fd, size_t size) {
  static const auto [text, limit] = Rule("XMQ_FAIL_WRITE");
  static long written = 0;
  SlowDown(fd);
  if (text.empty() || PathOf(fd).find(text) == std::string::npos) return static_cast<ssize_t>(size);
  if (written >= limit) {
    errno = ENOSPC;
    return -1;
  }
  size = std::min(size, static_cast<size_t>(limit - written));
  written += static_cast<long>(size);
  return static_cast<ssize_t>(size);
}

ssize_t write(int fd, const void* data, size_t size) {
  static const auto next = Next<ssize_t (*)(int, const void*, size_t)>("write");
  const ssize_t room = Room(fd, size);
  return room < 0 ? room : next(fd, data, static_cast<size_t>(room));
}

// SQLite writes at an offset, through pwrite64.
ssize_t pwrite64(int fd, const void* data, size_t size, off64_t offset) {
  static const auto next = Next<ssize_t (*)(int, const void*, size_t, off64_t)>("pwrite64");
  const ssize_t room = Room(fd, size);
  return room < 0 ? room : next(fd, data, static_cast<size_t>(room), offset);
}

ssize_t read(int fd, void* data, size_t size) {
  static const auto next = Next<ssize_t (*)(int, void*, size_t)>("read");
  SlowDown(fd);
  return next(fd, data, size);
}

// Whether a call on `fd` fails by `rule` (its path ends with, or `within`
// holds, its TEXT): errno is then its ERRNO.
bool Fails(int fd, const std::pair<std::string, long>& rule, bool within) {
  const auto& [text, code] = rule;
  const std::string path = text.empty() ? std::string() : PathOf(fd);
  const auto at = path.rfind(text);
  if (text.empty() || at == std::string::npos || (!within && at + text.size() != path.size()))
    return false;
  errno = static_cast<int>(code);
  return true;
}

int fsync(int fd) {
  static const auto rule = Rule("XMQ_FAIL_FSYNC");
  return Fails(fd, rule, false) ? -1 : Next<int (*)(int)>("fsync")(fd);
}

int fchmod(int fd, mode_t mode) {
  static const auto rule = Rule("XMQ_FAIL_FCHMOD");
  return Fails(fd, rule, true) ? -1 : Next<int (*)(int, mode_t)>("fchmod")(fd, mode);
}

}  // extern "C"
