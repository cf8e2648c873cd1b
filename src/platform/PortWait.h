#pragma once

#include <poll.h>

#include "xmodemquarvel/Clock.h"

namespace xmodemquarvel {

// How a port waits inside its own operations: connecting to a terminal
// server, negotiating with it, waiting for its name to resolve, draining
// output that the line does not take at once. The component hands its host
// loop in here, so these waits run the host's yield callback and end on an
// abort like every other wait; a port used on its own gets DirectWait.
class PortWait {
 public:
  virtual ~PortWait() = default;

  // The clock of every deadline the port sets.
  virtual Clock& WaitClock() = 0;
  // One pass of a wait for `fd` to be ready for `events` (POLLIN, POLLOUT):
  // blocks until it is, until `deadline`, or until the host's yield is due.
  // Returns the descriptor's poll() events (0: not ready yet, call again), or
  // -1 when the wait must end: `deadline` has passed, or the operation is
  // being ended after an abort and its hang-up must not wait. May throw to end
  // the running operation (an abort request): a port keeps itself consistent.
  virtual int Pass(int fd, short events, Clock::TimePoint deadline) = 0;

  // Waits passes until `fd` is ready for `events`: true, or false once Pass
  // says the wait ends.
  bool Until(int fd, short events, Clock::TimePoint deadline) {
    for (;;) {
      const int revents = Pass(fd, events, deadline);
      if (revents < 0) return false;
      if (revents != 0) return true;
    }
  }
};

// A port's waits with nobody to yield to: poll() on the port's clock until the
// descriptor is ready or the deadline.
class DirectWait final : public PortWait {
 public:
  explicit DirectWait(Clock& clock) : clock_(clock) {}
  Clock& WaitClock() override { return clock_; }
  int Pass(int fd, short events, Clock::TimePoint deadline) override {
    if (clock_.Now() >= deadline) return -1;
    pollfd p{fd, events, 0};
    return clock_.Poll(&p, 1, deadline) > 0 ? p.revents : 0;
  }

 private:
  Clock& clock_;
};

// The wait a port uses: the one handed in, or a DirectWait on the monotonic
// clock of its own.
class PortWaitSlot {
 public:
  void Use(PortWait* wait) { wait_ = wait; }
  PortWait& operator*() { return wait_ != nullptr ? *wait_ : direct_; }
  PortWait* operator->() { return &**this; }

 private:
  PortWait* wait_ = nullptr;
  MonotonicClock clock_;
  DirectWait direct_{clock_};
};

}  // namespace xmodemquarvel
