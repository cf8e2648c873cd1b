#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "xmodemquarvel/Clock.h"
#include "xmodemquarvel/SerialPort.h"

/// @file
/// What a host supplies in place of a window, a timer and a message loop.

namespace xmodemquarvel {

/// What a host hands to a ModuleXmodem in place of a window with a serial
/// control, a timer and a message loop. Every member has a default.
struct HostOptions {
  /// The clock of every time-out and pause. Default: a MonotonicClock.
  std::shared_ptr<Clock> clock;
  /// The serial line. Default: the POSIX termios port, or a line on a terminal
  /// server when the device chosen is "rfc2217://HOST:PORT". A port of the host's own
  /// may throw anything (see SerialPort); the component takes it as a failure
  /// of the line.
  std::unique_ptr<SerialPort> port;
  /// Called on every pass of every wait: the host's message loop stand-in.
  /// The component's events and the host's own work may run from here, and
  /// ModuleXmodem::CurrentWait() tells what is awaited.
  std::function<void()> yield;
  /// Longest time a wait blocks between two calls of `yield`; besides, a pass
  /// takes at most 256 received bytes, so a flood cannot stretch it. Zero or
  /// less, or no `yield` at all, sets no bound of the host's: a wait then
  /// blocks until input, the timer's tick or an abort request (and at most an
  /// hour). Aborts never depend on it: Abort() wakes the wait that blocks.
  std::chrono::milliseconds max_yield_interval{100};
};

}  // namespace xmodemquarvel
