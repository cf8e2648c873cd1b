#include "component/WaitTimer.h"

namespace xmodemquarvel {

WaitTimer::WaitTimer(Timer& clock, HostLoop& loop) : clock_(clock), loop_(loop) {
  clock_.OnTick([this] { Clock_Timer(); });
}

void WaitTimer::Restart(int32_t milliseconds) {
  clock_.Enabled(false);
  clock_.Interval(milliseconds);
  if (milliseconds > 0) clock_.Enabled(true);
}

void WaitTimer::Arm(int32_t milliseconds) {
  Waiting = true;
  ExtraMinutes = 0;
  Restart(milliseconds);
}

void WaitTimer::ArmKeepingExtraMinutes(int32_t milliseconds) {
  Waiting = true;
  Restart(milliseconds);
}

void WaitTimer::Extend() {
  ExtraMinutes = 1;
  Restart(45'000);
}

void WaitTimer::Stop() {
  clock_.Enabled(false);
}

void WaitTimer::Clock_Timer() {
  clock_.Enabled(false);
  if (ExtraMinutes >= 1) {
    --ExtraMinutes;
    clock_.Interval(60'000);
    clock_.Enabled(true);
  } else {
    Waiting = false;
  }
}

std::optional<Clock::TimePoint> WaitTimer::Ends() const {
  const auto tick = clock_.Deadline();
  if (!tick) return std::nullopt;
  return *tick + std::chrono::minutes(ExtraMinutes);
}

void WaitTimer::Pause(int32_t milliseconds) {
  Arm(milliseconds < 1 ? 1 : milliseconds);
  loop_.Awaiting(WaitState::Awaiting::kPause, {}, {}, 0, 0, Ends());
  // A pause watches no line: input that arrives meanwhile stays waiting.
  while (Waiting) loop_.Idle(nullptr);
}

}  // namespace xmodemquarvel
