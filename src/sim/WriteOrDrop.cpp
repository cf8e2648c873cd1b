#include "sim/WriteOrDrop.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace xmodemquarvel::sim {

void WriteOrDrop(int fd, std::string_view bytes, bool socket) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const char* from = bytes.data() + done;
    const std::size_t left = bytes.size() - done;
    const ssize_t n = socket ? ::send(fd, from, left, MSG_NOSIGNAL) : ::write(fd, from, left);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, 1000) <= 0) return;
    } else {
      return;
    }
  }
}

}  // namespace xmodemquarvel::sim
