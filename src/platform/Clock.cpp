#include "xmodemquarvel/Clock.h"

#include <poll.h>

#include <cerrno>
#include <ctime>

namespace xmodemquarvel {

Clock::~Clock() = default;

Clock::TimePoint MonotonicClock::Now() const {
  // steady_clock is CLOCK_MONOTONIC on Linux.
  return std::chrono::steady_clock::now();
}

void MonotonicClock::SleepUntil(TimePoint deadline) {
  // poll() with no descriptor is an interruptible sleep; after EINTR the time
  // left is recomputed from the deadline, so signals never shorten or stretch it.
  for (;;) {
    const auto left = deadline - Now();
    if (left <= Duration::zero()) return;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    const int timeout = ms > 1'000'000 ? 1'000'000 : static_cast<int>(ms);
    if (::poll(nullptr, 0, timeout) < 0 && errno != EINTR) return;
  }
}

int MonotonicClock::Poll(pollfd* fds, nfds_t count, TimePoint deadline) {
  const auto left = deadline - Now();
  const auto ms =
      left <= Duration::zero() ? 0 : std::chrono::ceil<std::chrono::milliseconds>(left).count();
  const int r = ::poll(fds, count, ms > 1'000'000 ? 1'000'000 : static_cast<int>(ms));
  return r < 0 ? 0 : r;
}

int VirtualClock::Poll(pollfd* fds, nfds_t count, TimePoint deadline) {
  // A world of events alone has nothing to poll: its input comes with them.
  const bool real = count > 0 && grace_.count() > 0;
  if (real) {
    if (const int r = ::poll(fds, count, 0); r > 0) return r;
  }
  if (RunNextEventBefore(deadline)) return 0;
  // The first descriptor alone is the wake-up: nothing to give real time to.
  if (real && count > 1) {
    if (const int r = ::poll(fds, count, static_cast<int>(grace_.count())); r > 0) return r;
  }
  if (deadline > now_) now_ = deadline;
  return 0;
}

void VirtualClock::SleepUntil(TimePoint deadline) {
  while (RunNextEventBefore(deadline)) {
  }
  if (deadline > now_) now_ = deadline;
}

VirtualClock::EventId VirtualClock::Schedule(TimePoint at, std::function<void()> action) {
  if (at < now_) at = now_;
  const EventId id = next_id_++;
  events_.emplace(std::make_pair(at, id), std::move(action));
  return id;
}

void VirtualClock::Cancel(EventId id) {
  for (auto it = events_.begin(); it != events_.end(); ++it) {
    if (it->first.second == id) {
      events_.erase(it);
      return;
    }
  }
}

std::optional<Clock::TimePoint> VirtualClock::NextEvent() const {
  if (events_.empty()) return std::nullopt;
  return events_.begin()->first.first;
}

bool VirtualClock::RunNextEventBefore(TimePoint limit) {
  if (events_.empty()) return false;
  auto it = events_.begin();
  if (it->first.first > limit) return false;
  if (it->first.first > now_) now_ = it->first.first;
  // Taken out before it runs: the action may schedule or cancel others.
  auto action = std::move(it->second);
  events_.erase(it);
  action();
  return true;
}

}  // namespace xmodemquarvel
