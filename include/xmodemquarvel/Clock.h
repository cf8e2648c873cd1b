#pragma once

#include <poll.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <utility>

#include "xmodemquarvel/Export.h"

/// @file
/// The clocks that time-outs and pauses are measured on.

namespace xmodemquarvel {

/// The component measures every time-out and pause on a Clock. Hosts use the
/// monotonic clock; tests use the virtual clock, on which an idle wait jumps
/// straight to its deadline.
class XMODEMQUARVEL_API Clock {
 public:
  /// A length of time on any clock.
  using Duration = std::chrono::steady_clock::duration;
  /// An instant on any clock.
  using TimePoint = std::chrono::steady_clock::time_point;

  virtual ~Clock();
  /// The current instant.
  virtual TimePoint Now() const = 0;
  /// Blocks until `deadline` with nothing to watch.
  virtual void SleepUntil(TimePoint deadline) = 0;
  /// The one blocking call of every wait: blocks until one of the @p count
  /// descriptors of @p fds is ready (poll() events), or `deadline`. Returns
  /// the number of ready descriptors (their `revents` set), or 0 when none is
  /// ready yet: the deadline came, a signal interrupted the wait, or, on a
  /// virtual clock, the simulated world moved. A caller looks at its
  /// conditions again and calls again as long as it waits. The component puts
  /// its wake descriptor (an abort request) first.
  virtual int Poll(pollfd* fds, nfds_t count, TimePoint deadline) = 0;
};

/// CLOCK_MONOTONIC: never steps with the wall clock.
class XMODEMQUARVEL_API MonotonicClock final : public Clock {
 public:
  TimePoint Now() const override;
  /// Sleeps in poll() with no descriptor; EINTR resumes with the time left.
  void SleepUntil(TimePoint deadline) override;
  /// One poll(); EINTR returns 0.
  int Poll(pollfd* fds, nfds_t count, TimePoint deadline) override;
};

/// Time that moves only when somebody waits. A simulated world schedules its
/// events on it; a wait runs the events that fall due before its deadline, in
/// order, and then jumps to the deadline, so a 105-second wait costs microseconds.
class XMODEMQUARVEL_API VirtualClock final : public Clock {
 public:
  /// Names a scheduled event, for Cancel().
  using EventId = std::uint64_t;

  TimePoint Now() const override { return now_; }
  void SleepUntil(TimePoint deadline) override;
  /// Runs the next event that falls due before `deadline` and returns 0, or,
  /// when there is none, jumps to `deadline`: the simulated world's input
  /// comes with its events. With a grace (RealGrace), for tests whose far end
  /// is a real socket or pseudo-terminal served by another thread, the
  /// descriptors are looked at first without blocking, and a wait on more than
  /// the wake descriptor that has no event left gives them that much real
  /// time before time jumps.
  int Poll(pollfd* fds, nfds_t count, TimePoint deadline) override;
  /// Real time that Poll gives real descriptors before a jump (default none).
  void RealGrace(std::chrono::milliseconds grace) { grace_ = grace; }

  /// Moves time forward by `d`, running the events that fall due on the way.
  void Advance(Duration d) { SleepUntil(now_ + d); }

  /// Runs `action` when time reaches `at` (at once on the next wait if it has).
  EventId Schedule(TimePoint at, std::function<void()> action);
  /// Runs `action` `delay` from now.
  EventId ScheduleAfter(Duration delay, std::function<void()> action) {
    return Schedule(now_ + delay, std::move(action));
  }
  /// Forgets a scheduled event; an unknown or past one is ignored.
  void Cancel(EventId id);
  /// The instant of the earliest scheduled event, if any.
  std::optional<TimePoint> NextEvent() const;

  /// Runs the earliest event if it falls due at or before `limit`, setting the
  /// time to its instant first. Returns false (and changes nothing) otherwise.
  bool RunNextEventBefore(TimePoint limit);

 private:
  TimePoint now_{};
  std::chrono::milliseconds grace_{0};
  EventId next_id_ = 1;
  // Ordered by instant, then by scheduling order.
  std::map<std::pair<TimePoint, EventId>, std::function<void()>> events_;
};

}  // namespace xmodemquarvel
