#include "component/HostLoop.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace xmodemquarvel {

HostLoop::HostLoop(Clock& clock, Timer& timer, std::function<void()> yield,
                   std::chrono::milliseconds max_interval)
    : clock_(clock),
      timer_(timer),
      yield_(std::move(yield)),
      // With no callback to call, a wait has no reason to wake before input,
      // the timer's tick or an abort: a thousand idle lines then cost nothing.
      max_interval_(yield_ && max_interval > std::chrono::milliseconds::zero()
                        ? max_interval
                        : std::chrono::milliseconds::zero()),
      wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!wake_)
    throw std::system_error(errno, std::generic_category(),
                            "Impossible de créer le descripteur de réveil");
}

bool HostLoop::RequestAbort() noexcept {
  int expected = kAccepting;
  if (!abort_.compare_exchange_strong(expected, kRequested)) return false;
  const std::uint64_t one = 1;
  // A full counter is still a wake-up.
  [[maybe_unused]] const ssize_t n = ::write(wake_.Get(), &one, sizeof one);
  return true;
}

void HostLoop::ThrowIfAborted() {
  // The hang-up that follows must not be aborted in turn.
  if (hold_ > 0 || abort_.load(std::memory_order_relaxed) != kRequested) return;
  abort_.store(kClosed);
  throw OperationAborted{};
}

void HostLoop::Yield() {
  // The host's callback runs even on the pass that an abort ends: the hang-up
  // that follows then starts its own passes with the host just served.
  if (yield_) CallHost(yield_);
  timer_.DeliverIfDue();
  ThrowIfAborted();
}

Clock::TimePoint HostLoop::PassEnd() const {
  // Without a callback, an hour: a pass always ends, and an abort wakes it.
  return clock_.Now() +
         (max_interval_.count() > 0 ? Clock::Duration(max_interval_) : std::chrono::hours(1));
}

short HostLoop::Block(int fd, short events, Clock::TimePoint until) {
  pollfd fds[2] = {{wake_.Get(), POLLIN, 0}, {fd, events, 0}};
  clock_.Poll(fds, fd >= 0 ? 2 : 1, until);
  if (fds[0].revents != 0) {
    // Drained, so that it wakes the next wait only for a new request.
    std::uint64_t count;
    [[maybe_unused]] const ssize_t n = ::read(wake_.Get(), &count, sizeof count);
  }
  return fd >= 0 ? fds[1].revents : 0;
}

void HostLoop::Idle(SerialPort* line) {
  ThrowIfAborted();
  auto until = PassEnd();
  if (const auto tick = timer_.Deadline(); tick && *tick < until) until = *tick;
  int fd = -1;
  if (line != nullptr && line->PortOpen()) {
    fd = line->WaitDescriptor();
    // Input on a line without a descriptor is looked for every slice.
    const auto slice = clock_.Now() + (max_interval_.count() > 0 ? max_interval_ : kSlice);
    if (fd < 0 && slice < until) until = slice;
  }
  Block(fd, POLLIN, until);
  Yield();
}

int HostLoop::Pass(int fd, short events, Clock::TimePoint deadline) {
  if (hanging_up_ || clock_.Now() >= deadline) return -1;
  ThrowIfAborted();
  // Unless the operation waits for something of its own (output that a line
  // does not take during an exchange), it waits for the line itself.
  if (state_.awaiting == WaitState::Awaiting::kNothing ||
      state_.awaiting == WaitState::Awaiting::kLine)
    Awaiting(WaitState::Awaiting::kLine, {}, {}, 0, 0, deadline);
  auto until = PassEnd();
  if (deadline < until) until = deadline;
  if (const auto tick = timer_.Deadline(); tick && *tick < until) until = *tick;
  const short revents = Block(fd, events, until);
  Yield();
  return revents;
}

}  // namespace xmodemquarvel
