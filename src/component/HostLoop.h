#pragma once

#include <atomic>
#include <cassert>
#include <chrono>
#include <exception>
#include <functional>

#include "component/Timer.h"
#include "platform/PortWait.h"
#include "platform/UniqueFd.h"
#include "xmodemquarvel/Clock.h"
#include "xmodemquarvel/SerialPort.h"
#include "xmodemquarvel/WaitState.h"

namespace xmodemquarvel {

// Thrown by a wait when the host asked for the running operation to end; the
// operation's entry point catches it (Impl::EndAborted) and nothing else does.
struct OperationAborted {};

// An exception of the host's own code (its yield callback, or a handler that
// a port's own wait runs) on its way to the caller. Wrapped, so that nothing
// between the host's code and the operation's entry point (a port's guard
// above all) takes it for a failure of the line; the entry point throws it
// again as the host threw it, whatever the port.
struct HostCodeFailure {
  std::exception_ptr error;
};

// The stand-in for the host's message loop, and the one wait of the component.
//
// Every pass of every wait goes through here: the host's callback runs, then
// the timer's tick if it is due. A pass that blocks does it in one poll() (on
// the clock, Clock::Poll) on the line's descriptor, the wake descriptor and the
// nearest deadline: the timer's next tick, the caller's own deadline, and,
// with a yield callback, the host's longest interval. A line without a
// descriptor is looked at again every slice (that interval, or 100 ms). So a
// wait never burns a core, and never holds the host longer than it allows.
// Callers that take input take at most kBytesPerPass bytes before the next
// pass, so a flood cannot starve the host nor push a deadline away.
//
// Aborts: while an operation accepts them, a request (a flag, then one write
// to the wake descriptor: async-signal-safe, no allocation, no lock) wakes the
// pass that blocks, or the next one if none does, which throws
// OperationAborted. EINTR ends a blocking call early and the pass looks at the
// request again. Without a request a pass behaves as if aborts did not exist.
class HostLoop final : public PortWait {
 public:
  static constexpr int kBytesPerPass = 256;
  static constexpr std::chrono::milliseconds kSlice{100};

  // Throws std::system_error when the system refuses the wake descriptor.
  HostLoop(Clock& clock, Timer& timer, std::function<void()> yield,
           std::chrono::milliseconds max_interval);

  // One pass that does not block.
  void Yield();
  // Runs host code from inside a wait: what it throws leaves wrapped.
  template <class Call>
  void CallHost(Call&& call) {
    try {
      call();
    } catch (...) {
      throw HostCodeFailure{std::current_exception()};
    }
  }
  // One pass that first blocks until input on `line` (when open), the timer's
  // next tick or the host's next yield.
  void Idle(SerialPort* line);

  // The waits of a port's own operations.
  Clock& WaitClock() override { return clock_; }
  int Pass(int fd, short events, Clock::TimePoint deadline) override;

  // An abortable operation starts or ends; either forgets a pending request.
  void AcceptAborts(bool on) { abort_.store(on ? kAccepting : kClosed); }
  // True when an operation accepts the request. Lock-free and
  // async-signal-safe: from another thread and from a signal handler.
  bool RequestAbort() noexcept;
  // While held, waits are not aborted and a request stays pending: a
  // Disconnect that a handler calls runs to its end, and the operation it
  // interrupts ends at its own next wait.
  void HoldAborts(bool on) {
    hold_ += on ? 1 : -1;
    // Each release follows its own hold: a count below zero would let an
    // abort through the next hold.
    assert(hold_ >= 0);
  }
  // While an aborted operation hangs up, a port's own waits give up at once:
  // the hang-up never waits for a line that does not take its bytes.
  void HangingUp(bool on) { hanging_up_ = on; }
  // Ends the operation here when a request is pending: for a handler that
  // asked for the abort between two waits, before the next step moves data.
  void ThrowIfAborted();

  // What the running wait awaits; the layers set it as their waits begin.
  const WaitState& State() const { return state_; }
  void Awaiting(WaitState::Awaiting what, std::string sent, std::string expected, int32_t attempt,
                int32_t attempts, std::optional<Clock::TimePoint> deadline = std::nullopt) {
    state_.awaiting = what;
    state_.sent = std::move(sent);
    state_.expected = std::move(expected);
    state_.attempt = attempt;
    state_.attempts = attempts;
    state_.deadline = deadline;
    state_.remaining.reset();
  }
  void NothingAwaited() { state_ = WaitState(); }

 private:
  enum : int { kClosed, kAccepting, kRequested };
  static_assert(std::atomic<int>::is_always_lock_free);

  // Blocks until `fd` (if any) is ready for `events`, a wake-up or `until`;
  // returns the descriptor's events.
  short Block(int fd, short events, Clock::TimePoint until);
  // The latest a blocking pass may last from now: the host's next yield.
  Clock::TimePoint PassEnd() const;

  Clock& clock_;
  Timer& timer_;
  std::function<void()> yield_;
  // The host's longest interval between two yields; zero: none.
  std::chrono::milliseconds max_interval_;
  UniqueFd wake_;
  std::atomic<int> abort_{kClosed};
  int hold_ = 0;
  bool hanging_up_ = false;
  WaitState state_;
};

}  // namespace xmodemquarvel
