#include "platform/PollUntil.h"

#include <poll.h>

#include <cerrno>

namespace xmodemquarvel {

int PollUntil(int fd, Clock& clock, Clock::TimePoint deadline) {
  for (;;) {
    const auto left = deadline - clock.Now();
    if (left <= Clock::Duration::zero()) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    pollfd p{fd, POLLIN, 0};
    const int r = ::poll(&p, 1, ms > 1'000'000 ? 1'000'000 : static_cast<int>(ms));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (r == 0) {
      clock.SleepUntil(deadline);
      return 0;
    }
    return p.revents;
  }
}

}  // namespace xmodemquarvel
