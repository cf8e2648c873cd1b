#include "component/Timer.h"

namespace xmodemquarvel {

void Timer::Enabled(bool on) {
  if (on && !enabled_) Restart();
  enabled_ = on;
}

void Timer::Interval(int32_t milliseconds) {
  interval_ms_ = milliseconds;
  if (enabled_) Restart();
}

std::optional<Clock::TimePoint> Timer::Deadline() const {
  if (!enabled_ || interval_ms_ <= 0) return std::nullopt;
  return started_ + std::chrono::milliseconds(interval_ms_);
}

bool Timer::DeliverIfDue() {
  const auto deadline = Deadline();
  if (!deadline || clock_.Now() < *deadline) return false;
  // The next period counts from this tick unless the handler re-arms.
  Restart();
  if (on_tick_) on_tick_();
  return true;
}

}  // namespace xmodemquarvel
