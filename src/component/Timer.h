#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "xmodemquarvel/Clock.h"

namespace xmodemquarvel {

// The component's timer: Enabled, Interval in milliseconds, and a tick that is
// delivered only when a wait hands control over (HostLoop::Yield), never in the
// middle of the component's own steps.
class Timer {
 public:
  explicit Timer(Clock& clock) : clock_(clock) {}

  // Starting makes the first tick come one full Interval later.
  void Enabled(bool on);
  bool Enabled() const { return enabled_; }
  // Setting the interval of a running timer starts its count again.
  void Interval(int32_t milliseconds);
  int32_t Interval() const { return interval_ms_; }
  void OnTick(std::function<void()> handler) { on_tick_ = std::move(handler); }

  // When the next tick falls due; none while stopped or with an interval of 0.
  std::optional<Clock::TimePoint> Deadline() const;
  // Runs the tick handler once if a tick is due. Late ticks do not pile up.
  bool DeliverIfDue();

 private:
  void Restart() { started_ = clock_.Now(); }

  Clock& clock_;
  bool enabled_ = false;
  int32_t interval_ms_ = 0;
  Clock::TimePoint started_{};
  std::function<void()> on_tick_;
};

}  // namespace xmodemquarvel
