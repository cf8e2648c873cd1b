#pragma once

#include <chrono>
#include <functional>

#include "component/Timer.h"
#include "xmodemquarvel/Clock.h"
#include "xmodemquarvel/SerialPort.h"

namespace xmodemquarvel {

// The stand-in for the host's message loop. Every pass of every wait goes
// through here: the host's callback runs, then the timer's tick if it is due.
// Idle() blocks first, in poll() on the line or on the clock, until input
// arrives, the timer's next tick, or the longest interval the host allows
// between two calls of its callback; so a wait never burns a core.
class HostLoop {
 public:
  HostLoop(Clock& clock, Timer& timer, std::function<void()> yield,
           std::chrono::milliseconds max_interval)
      : clock_(clock), timer_(timer), yield_(std::move(yield)), max_interval_(max_interval) {
    // With no callback to call, a wait has no reason to wake before input or
    // the timer's tick: a thousand idle lines then cost nothing.
    if (max_interval_ <= std::chrono::milliseconds::zero() || !yield_)
      max_interval_ = std::chrono::hours(1);
  }

  // One pass that does not block.
  void Yield();
  // One pass that first waits for input on `line` (when open) or for time.
  void Idle(SerialPort* line);

 private:
  Clock& clock_;
  Timer& timer_;
  std::function<void()> yield_;
  std::chrono::milliseconds max_interval_;
};

}  // namespace xmodemquarvel
