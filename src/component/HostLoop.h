#pragma once

#include <atomic>
#include <chrono>
#include <functional>

#include "component/Timer.h"
#include "xmodemquarvel/Clock.h"
#include "xmodemquarvel/SerialPort.h"

namespace xmodemquarvel {

// Thrown by a wait when the host asked for the running operation to end; the
// operation's entry point catches it (Impl::EndAborted) and nothing else does.
struct OperationAborted {};

// The stand-in for the host's message loop. Every pass of every wait goes
// through here: the host's callback runs, then the timer's tick if it is due.
// Idle() blocks first, in poll() on the line or on the clock, until input
// arrives, the timer's next tick, or the longest interval the host allows
// between two calls of its callback; so a wait never burns a core.
//
// Aborts: while an operation accepts them, a request ends the next pass of a
// wait (before it blocks and after the host's callback) by throwing
// OperationAborted. Without a request a pass behaves as if aborts did not
// exist.
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

  // An abortable operation starts or ends; either forgets a pending request.
  void AcceptAborts(bool on) { abort_.store(on ? kAccepting : kClosed); }
  // True when an operation accepts the request. Lock-free: safe from another
  // thread and from a signal handler.
  bool RequestAbort() {
    int expected = kAccepting;
    return abort_.compare_exchange_strong(expected, kRequested);
  }
  // While held, waits are not aborted and a request stays pending: a
  // Disconnect that a handler calls runs to its end, and the operation it
  // interrupts ends at its own next wait.
  void HoldAborts(bool on) { hold_ += on ? 1 : -1; }

  // Ends the operation here when a request is pending: for a handler that
  // asked for the abort between two waits, before the next step moves data.
  void ThrowIfAborted() {
    // The hang-up that follows must not be aborted in turn.
    if (hold_ > 0 || abort_.load(std::memory_order_relaxed) != kRequested) return;
    abort_.store(kClosed);
    throw OperationAborted{};
  }

 private:
  enum : int { kClosed, kAccepting, kRequested };
  static_assert(std::atomic<int>::is_always_lock_free);

  Clock& clock_;
  Timer& timer_;
  std::function<void()> yield_;
  std::chrono::milliseconds max_interval_;
  std::atomic<int> abort_{kClosed};
  int hold_ = 0;
};

}  // namespace xmodemquarvel
