#include "sim/WriteOrDrop.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace xmodemquarvel::sim {

void WriteOrDrop(int fd, std::string_view bytes, const std::atomic<bool>& stop) {
  constexpr int kSlices = 10;
  constexpr int kSliceMs = 100;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n >= 0 || errno != EAGAIN) return;
    int slices = 0;
    pollfd p{fd, POLLOUT, 0};
    while (!stop.load() && slices < kSlices && ::poll(&p, 1, kSliceMs) == 0) ++slices;
    if (stop.load() || slices == kSlices) return;
  }
}

}  // namespace xmodemquarvel::sim
