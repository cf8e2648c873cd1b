#include "sim/LineTimers.h"

#include <algorithm>
#include <chrono>

namespace xmodemquarvel::sim {

void LineTimers::After(Clock::Duration delay, std::function<void()> action) {
  timers_.emplace(std::make_pair(clock_.Now() + delay, next_id_++), std::move(action));
}

Clock::TimePoint LineTimers::RunDue(Clock::TimePoint until) {
  while (!timers_.empty() && timers_.begin()->first.first <= clock_.Now()) {
    auto action = std::move(timers_.begin()->second);
    timers_.erase(timers_.begin());
    action();
  }
  auto wake = until;
  if (!timers_.empty()) wake = std::min(wake, timers_.begin()->first.first);
  return std::min(wake, clock_.Now() + std::chrono::milliseconds(100));
}

int LineTimers::MillisecondsTo(Clock::TimePoint when) const {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(when - clock_.Now()).count();
  return static_cast<int>(std::max<decltype(left)>(left, 0));
}

}  // namespace xmodemquarvel::sim
