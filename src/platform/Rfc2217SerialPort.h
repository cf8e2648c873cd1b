#pragma once

#include <netdb.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/LineSettings.h"
#include "platform/PortWait.h"
#include "platform/TelnetCodec.h"
#include "platform/UniqueFd.h"
#include "xmodemquarvel/SerialPort.h"

namespace xmodemquarvel {

// Where a remote serial line is: "rfc2217://HOST:PORT", HOST a name, an IPv4
// address or an IPv6 address in brackets. "?nomodemlines" after it says that
// the line has no modem lines (a terminal server in front of a device without
// them): CTS and CD are then taken as held while the connection lasts.
struct RemoteAddress {
  static constexpr std::string_view kScheme = "rfc2217://";

  std::string host;
  std::string port;
  bool no_modem_lines = false;

  static bool IsRemote(std::string_view device) {
    return device.substr(0, kScheme.size()) == kScheme;
  }
  // Nothing on a malformed text.
  static std::optional<RemoteAddress> Parse(std::string_view device);
  std::string HostPort() const;
};

// A serial line on a terminal server, over TCP with Telnet's com port option.
//
// Opening resolves the host (a numeric address needs no resolver; a name is
// resolved on a thread of its own, so the caller's wait goes on and can be
// aborted), connects, offers BINARY both ways, SUPPRESS-GO-AHEAD and the com
// port option, and waits for the server to agree to BINARY both ways and to
// the com port option: all of it within kNegotiationTime. A server that
// refuses either, never answers, or sends a subnegotiation longer than any the
// option has, is refused with its own message. Then the settings, no flow
// control, break and DTR go out, and the server is asked to notify CTS and CD.
// Settings, DTREnable and Break are sent whenever set; InBufferCount(0) also
// purges what the server holds. A control that the server does not confirm
// within kConfirmTime is told to `note`, never an error: some servers never
// confirm DTR.
//
// Every wait (resolution, connection, negotiation, output the server does not
// take) goes through the PortWait handed in, on its clock; output the server
// takes nothing of for kWriteStall is a lost line. One call reads at most
// kBuffer bytes from the socket, so a flood never holds the caller.
//
// CTS and CD are what the server last notified (both low until it does), or
// held throughout with "?nomodemlines". A connection that ends or fails, or a
// subnegotiation without end, is a lost line, as a vanished device: CTS and CD
// drop, output is discarded, the loss is noted once, and WaitDescriptor()
// gives no descriptor any more.
class Rfc2217SerialPort final : public SerialPort {
 public:
  static constexpr std::chrono::seconds kNegotiationTime{5};
  static constexpr std::chrono::seconds kConfirmTime{10};
  static constexpr std::chrono::seconds kWriteStall{10};

  Rfc2217SerialPort() = default;
  ~Rfc2217SerialPort() override;

  // Remote lines have no number: refused.
  void CommPort(int32_t port) override;
  int32_t CommPort() const override { return 0; }
  void Device(const std::string& path) override;
  std::string Device() const override { return device_; }
  void Settings(const std::string& settings) override;
  std::string Settings() const override { return settings_.ToString(); }

  void PortOpen(bool open) override;
  bool PortOpen() const override { return static_cast<bool>(fd_); }
  void Break(bool on) override;

  int32_t InBufferCount() override;
  void InBufferCount(int32_t count) override;
  void RThreshold(int32_t threshold) override { rthreshold_ = threshold; }
  void InputLen(int32_t length) override { input_len_ = length; }
  std::string Input() override;
  void Output(std::string_view bytes) override;

  void DTREnable(bool on) override;
  bool DTREnable() const override { return dtr_; }
  bool CTSHolding() override;
  bool CDHolding() override;

  int WaitDescriptor() const override { return fd_ && !hung_up_ ? fd_.Get() : -1; }

  // The wait of every wait, and its clock.
  void UseWait(PortWait* wait) { wait_.Use(wait); }

  // Told of what is worth a line in the trace: unconfirmed controls, a lost
  // connection. May be empty.
  std::function<void(const std::string&)> note;

 private:
  struct Pending {
    std::uint8_t command;
    std::uint8_t value;
    Clock::TimePoint deadline;
  };

  Clock::TimePoint Now() { return wait_->WaitClock().Now(); }
  void Open(Clock::TimePoint deadline);
  void Connect(const addrinfo* found, Clock::TimePoint deadline);
  void Negotiate(Clock::TimePoint deadline);
  // One pass of the wait for input; false once `deadline` has passed.
  bool AwaitInput(Clock::TimePoint deadline);
  void Close(bool tell);
  void SendSettings();
  void SendControl(std::uint8_t value);
  void SendCommand(std::uint8_t command, std::string_view value);
  void Flush();
  // Reads what the socket holds, at most kBuffer bytes, without blocking.
  // `keep` false throws the data away (a purge, or data before the line is
  // open).
  void Fill(bool keep = true);
  void OnMessage(const telnet::ComPortMessage& message);
  void CheckPending(bool all);
  void LoseLine(const std::string& why);
  void LoseLine(int err);
  void Note(const std::string& text);
  [[noreturn]] void Refuse(int err, const std::string& message);
  bool ModemLine(std::uint8_t bit);

  std::string device_;
  RemoteAddress address_;
  LineSettings settings_;
  UniqueFd fd_;
  PortWaitSlot wait_;
  telnet::TelnetCodec codec_{telnet::TelnetCodec::Role::kClient};
  bool hung_up_ = false;
  bool negotiating_ = false;
  bool dtr_ = true;
  bool break_ = false;
  bool modem_state_known_ = false;
  std::uint8_t modem_state_ = 0;
  int32_t rthreshold_ = 0;
  int32_t input_len_ = 0;
  // Received data not yet taken: [head_, end) of rx_, never above kBuffer.
  std::string rx_;
  std::size_t head_ = 0;
  std::vector<telnet::ComPortMessage> messages_;
  // Controls sent and not yet confirmed, oldest first.
  std::deque<Pending> pending_;
};

}  // namespace xmodemquarvel
