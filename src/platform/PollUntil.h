#pragma once

#include "xmodemquarvel/Clock.h"

namespace xmodemquarvel {

// Blocks in poll() until `fd` can be read (or hangs up) or `deadline` passes on
// `clock`. EINTR recomputes the time left, so a signal neither shortens nor
// stretches the wait. Returns poll()'s events for `fd`; 0 once the deadline is
// reached (a clock that does not follow real time, a test's, is then moved on
// to it); -1 with errno set when poll() fails.
int PollUntil(int fd, Clock& clock, Clock::TimePoint deadline);

}  // namespace xmodemquarvel
