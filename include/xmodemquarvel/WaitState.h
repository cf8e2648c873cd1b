#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "xmodemquarvel/Clock.h"

/// @file
/// What the running operation waits for, for a host's status line.

namespace xmodemquarvel {

/// What a wait of the running operation awaits: ModuleXmodem::CurrentWait(),
/// read from the yield callback or an event handler.
struct WaitState {
  /// What is awaited.
  enum class Awaiting : int32_t {
    kNothing = 0,  ///< no wait is running
    kModem = 1,    ///< an answer of the modem to a command (Connect)
    kServer = 2,   ///< an answer of the server (SendFile, ReceiveFile)
    kPause = 3,    ///< a pause (after the modem's reset, in Disconnect)
    kLine = 4,     ///< the line itself: a terminal server's address, connection or agreement
  };
  /// What is awaited; kNothing outside an operation.
  Awaiting awaiting = Awaiting::kNothing;
  /// What went out and is being answered: the modem command without its line
  /// end ("ATDT0199001234"), or "ACK", "NAK", "EOT", "trame N" (data frame N,
  /// 0 for the opening record); empty when nothing went out.
  std::string sent;
  /// The answer awaited: "OK", "CONNECT", "ACK", "NAK", "EOT", "trame N ou EOT"
  /// (the next data frame of a receive, or the end of the file); empty for a
  /// pause or the line.
  std::string expected;
  /// This attempt, from 1; 0 when attempts are not counted (a pause, the
  /// line).
  int32_t attempt = 0;
  /// The most attempts of the exchange; 0 when attempts are not counted.
  int32_t attempts = 0;
  /// When this attempt's wait ends on the object's clock (HostOptions::clock),
  /// extensions included ("BUSY"); none when nothing is awaited.
  std::optional<Clock::TimePoint> deadline;
  /// The time left until `deadline` when the state was read (never negative).
  std::optional<Clock::Duration> remaining;
};

}  // namespace xmodemquarvel
