#include "component/HostLoop.h"

namespace xmodemquarvel {

void HostLoop::Yield() {
  ThrowIfAborted();
  if (yield_) yield_();
  timer_.DeliverIfDue();
  ThrowIfAborted();
}

void HostLoop::Idle(SerialPort* line) {
  ThrowIfAborted();
  auto deadline = clock_.Now() + max_interval_;
  if (const auto tick = timer_.Deadline(); tick && *tick < deadline) deadline = *tick;
  if (line != nullptr && line->PortOpen()) {
    line->WaitForInput(clock_, deadline);
  } else {
    clock_.SleepUntil(deadline);
  }
  Yield();
}

}  // namespace xmodemquarvel
