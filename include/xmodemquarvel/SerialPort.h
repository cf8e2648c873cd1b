#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

#include "xmodemquarvel/Clock.h"
#include "xmodemquarvel/Export.h"

/// @file
/// The serial line as the component drives it, and its failures.

namespace xmodemquarvel {

/// A refusal or failure of the serial port. The message is the serial layer's
/// own French text; code() keeps the operating system's error where there is one.
class XMODEMQUARVEL_API SerialPortError : public std::system_error {
 public:
  /// A failure with the system's error `code` (or none) and a French `message`.
  SerialPortError(std::error_code code, const std::string& message)
      : std::system_error(code, message), message_(message) {}
  /// The French text alone, without the error code's own description.
  const std::string& Message() const noexcept { return message_; }

 private:
  std::string message_;
};

/// The serial line as the component drives it: the properties of a serial
/// communications control, plus the descriptor the component's waits block
/// on. Strings are byte strings: one char is one byte of the line.
///
/// An implementation reports a refusal (a port in use, malformed settings, a
/// closed port) or a failure of the line by throwing, preferably a
/// SerialPortError with a French text for the user. Anything else it throws is
/// taken the same way: the component turns it into a SerialPortError carrying
/// what() (or a generic text), which the traps of CommPort, Settings and Connect
/// catch and relay through the Error event, and which reaches the host from the
/// other operations.
class XMODEMQUARVEL_API SerialPort {
 public:
  virtual ~SerialPort();

  /// Selects the port by number (1 to 255); refused while the port is open.
  virtual void CommPort(int32_t port) = 0;
  /// The port number last selected.
  virtual int32_t CommPort() const = 0;
  /// Selects the port by device path; refused while the port is open.
  virtual void Device(const std::string& path) = 0;
  /// The device path in use.
  virtual std::string Device() const = 0;
  /// "baud,parity,data,stop", for example "9600,N,8,1"; a malformed text is refused.
  virtual void Settings(const std::string& settings) = 0;
  /// The settings in use, in the same syntax.
  virtual std::string Settings() const = 0;

  /// true opens (refused when open, missing or in use); false closes.
  virtual void PortOpen(bool open) = 0;
  /// Whether the port is open.
  virtual bool PortOpen() const = 0;
  /// Holds a break on the line (true) or ends it.
  virtual void Break(bool on) = 0;

  /// Number of received bytes waiting.
  virtual int32_t InBufferCount() = 0;
  /// 0 discards every waiting byte.
  virtual void InBufferCount(int32_t count) = 0;
  /// 0: no receive events (all input is polled); the only value the component uses.
  virtual void RThreshold(int32_t threshold) = 0;
  /// Most bytes one Input() returns; 0 means all that are waiting.
  virtual void InputLen(int32_t length) = 0;
  /// Takes up to InputLen waiting bytes; empty when none wait.
  virtual std::string Input() = 0;
  /// Writes every byte; fails on a closed port.
  virtual void Output(std::string_view bytes) = 0;

  /// Raises (true) or drops DTR; a modem hangs up when it drops.
  virtual void DTREnable(bool on) = 0;
  /// Whether DTR is raised.
  virtual bool DTREnable() const = 0;
  /// Whether the modem holds CTS (clear to send).
  virtual bool CTSHolding() = 0;
  /// Whether the modem holds CD (a carrier: the call is up).
  virtual bool CDHolding() = 0;

  /// The descriptor that becomes readable when input arrives or the line
  /// changes (a device, a socket), for the component's one wait to block on
  /// with poll(); -1 when the port has none, or none worth watching (closed,
  /// or the line lost). A wait on a port without one sleeps in short slices
  /// (the host's yield interval, or 100 ms) and asks InBufferCount() again.
  /// Nothing else of the port may block for long: the component's bounds
  /// count on every other member returning at once.
  virtual int WaitDescriptor() const { return -1; }
};

}  // namespace xmodemquarvel
