// Preloaded into xmodemq by the tests, it gives the command the failures of a
// full disk or of a refused permission, whoever runs the tests:
//   XMQ_FAIL_OPEN=TEXT:ERRNO   open() and mkdir() of a path holding TEXT fail
//                              with ERRNO;
//   XMQ_FAIL_WRITE=TEXT:BYTES  writes to files whose path holds TEXT fail
//                              with ENOSPC once BYTES have been written (the
//                              write that crosses the limit is cut short).
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Rule {
  std::string text;
  long value = 0;
  bool set = false;
};

Rule Read(const char* name) {
  Rule rule;
  const char* env = std::getenv(name);
  if (env == nullptr) return rule;
  const std::string spec = env;
  const auto colon = spec.rfind(':');
  rule.text = spec.substr(0, colon);
  rule.value = std::strtol(spec.c_str() + colon + 1, nullptr, 10);
  rule.set = true;
  return rule;
}

bool Refused(const char* path) {
  static const Rule rule = Read("XMQ_FAIL_OPEN");
  if (!rule.set || path == nullptr || std::strstr(path, rule.text.c_str()) == nullptr) return false;
  errno = static_cast<int>(rule.value);
  return true;
}

template <typename F>
F Next(const char* name) {
  return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

mode_t ModeOf(int flags, va_list args) {
  return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = ModeOf(flags, args);
  va_end(args);
  if (Refused(path)) return -1;
  return Next<int (*)(const char*, int, ...)>("open")(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = ModeOf(flags, args);
  va_end(args);
  if (Refused(path)) return -1;
  return Next<int (*)(const char*, int, ...)>("open64")(path, flags, mode);
}

int openat(int dir, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = ModeOf(flags, args);
  va_end(args);
  if (Refused(path)) return -1;
  return Next<int (*)(int, const char*, int, ...)>("openat")(dir, path, flags, mode);
}

int mkdir(const char* path, mode_t mode) {
  if (Refused(path)) return -1;
  return Next<int (*)(const char*, mode_t)>("mkdir")(path, mode);
}

ssize_t write(int fd, const void* data, size_t size) {
  static const auto next = Next<ssize_t (*)(int, const void*, size_t)>("write");
  static const Rule rule = Read("XMQ_FAIL_WRITE");
  static long written = 0;
  if (rule.set) {
    char path[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(link.c_str(), path, sizeof path - 1);
    if (n > 0) {
      path[n] = '\0';
      if (std::strstr(path, rule.text.c_str()) != nullptr) {
        const long room = rule.value - written;
        if (room <= 0) {
          errno = ENOSPC;
          return -1;
        }
        if (static_cast<long>(size) > room) size = static_cast<size_t>(room);
        written += static_cast<long>(size);
      }
    }
  }
  return next(fd, data, size);
}

}  // extern "C"
