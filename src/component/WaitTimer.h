#pragma once

#include <cstdint>
#include <optional>

#include "component/HostLoop.h"
#include "component/Timer.h"

namespace xmodemquarvel {

// The time-out mechanism every wait is built on. `Waiting` is true from an
// arming until the armed interval and then `ExtraMinutes` further minutes have
// run out; the timer's tick (Clock_Timer) counts the minutes down.
class WaitTimer {
 public:
  WaitTimer(Timer& clock, HostLoop& loop);

  bool Waiting = false;
  int32_t ExtraMinutes = 0;

  // Waiting := true, ExtraMinutes := 0, interval set; the timer runs only for a
  // positive interval.
  void Arm(int32_t milliseconds);
  // The block layer's arming: ExtraMinutes is left as an earlier wait left it.
  void ArmKeepingExtraMinutes(int32_t milliseconds);
  // A "BUSY" or "DELAYED" answer: the wait now ends 105 000 ms from here.
  void Extend();
  // The expected answer came: stop the timer and leave Waiting as it is.
  void Stop();
  void Clock_Timer();
  // Waits `milliseconds` while the host's callback and the events run.
  void Pause(int32_t milliseconds);
  // When the running wait ends: the timer's next tick and the extra minutes
  // after it; none when the timer is stopped.
  std::optional<Clock::TimePoint> Ends() const;

 private:
  void Restart(int32_t milliseconds);

  Timer& clock_;
  HostLoop& loop_;
};

}  // namespace xmodemquarvel
