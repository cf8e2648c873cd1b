#include "platform/WriteAll.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace xmodemquarvel {

int WriteAll(int fd, std::string_view bytes, std::size_t& written,
             const std::function<bool()>& blocked, bool socket) {
  written = 0;
  while (written < bytes.size()) {
    const char* data = bytes.data() + written;
    const std::size_t left = bytes.size() - written;
    const ssize_t n = socket ? ::send(fd, data, left, MSG_NOSIGNAL) : ::write(fd, data, left);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0) return EIO;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return errno;
    if (!blocked || !blocked()) return EAGAIN;
  }
  return 0;
}

}  // namespace xmodemquarvel
