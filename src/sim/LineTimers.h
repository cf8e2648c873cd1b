#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <utility>

#include "xmodemquarvel/Clock.h"

namespace xmodemquarvel::sim {

// The delayed actions of a line served from a loop of its own (a
// pseudo-terminal, a terminal server), run in the order they fall due on that
// line's clock; two due at once run in the order they were set.
class LineTimers {
 public:
  explicit LineTimers(const Clock& clock) : clock_(clock) {}

  void After(Clock::Duration delay, std::function<void()> action);
  void Clear() { timers_.clear(); }
  // Runs every action that is due (one may set others), then gives when the
  // loop must look again: at the next action, at `until`, or 100 ms from now
  // at the latest, so that a stop asked from elsewhere is seen.
  Clock::TimePoint RunDue(Clock::TimePoint until);
  // Whole milliseconds from now to `when` for poll(), 0 once it has passed.
  int MillisecondsTo(Clock::TimePoint when) const;

 private:
  const Clock& clock_;
  std::uint64_t next_id_ = 0;
  std::map<std::pair<Clock::TimePoint, std::uint64_t>, std::function<void()>> timers_;
};

}  // namespace xmodemquarvel::sim
