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
  /// The component's events and the host's own work may run from here.
  std::function<void()> yield;
  /// Longest time a wait blocks between two calls of `yield`. Zero or less, or
  /// no `yield` at all, sets no bound of the host's: a wait then calls `yield`
  /// only when input arrives, when the timer ticks, and at least once an hour.
  std::chrono::milliseconds max_yield_interval{100};
};

}  // namespace xmodemquarvel
