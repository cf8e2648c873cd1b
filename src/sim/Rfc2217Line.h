#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/LineSettings.h"
#include "platform/TelnetCodec.h"
#include "platform/UniqueFd.h"
#include "sim/LinePeer.h"
#include "sim/LineTimers.h"

namespace xmodemquarvel::sim {

// The far end of a remote serial line: a terminal server on a TCP port,
// speaking Telnet with the com port option, with a simulated modem or server
// behind it. One client at a time; a second one is turned away at once, as a
// line in use.
//
// What the peer learns of the client: its connection and its end
// (OnPortOpen), DTR (OnDtr). Settings, break and purges are answered and
// logged. What the client learns of the peer: CTS and CD through the modem
// state notifications it asks for. Dropping both CTS and CD cuts the line:
// the client's connection is closed, and the next client finds CTS held.
class Rfc2217Line final : public ServedLine {
 public:
  // Listens on `host`:`port` ("0" picks a free port). Throws std::system_error.
  Rfc2217Line(const std::string& host, const std::string& port);
  ~Rfc2217Line() override = default;

  // The port listened on.
  int Port() const { return port_; }
  void AttachPeer(LinePeer* peer) override { peer_ = peer; }
  // One line per event of the line: a client connected, gone or turned away,
  // settings, DTR, break, a cut.
  std::function<void(const std::string&)> log;

  void SendToHost(std::string_view bytes) override;
  void SetCts(bool on) override;
  void SetCd(bool on) override;
  void After(Clock::Duration delay, std::function<void()> action) override;

  // Serves the line until Stop() or until `until` has passed. Blocks in poll().
  void Run(Clock::TimePoint until = Clock::TimePoint::max()) override;
  // Safe from another thread or a signal handler.
  void Stop() override { stop_.store(true); }
  bool ClientConnected() const { return static_cast<bool>(client_); }

 private:
  void Accept();
  void OnClientBytes(std::string_view bytes);
  void OnCommand(const telnet::ComPortMessage& message);
  void Notify(std::uint8_t deltas);
  void ScheduleNotify();
  std::uint8_t ModemState(std::uint8_t deltas) const;
  void Reply(std::uint8_t command, std::string_view value);
  void Flush();
  void EndClient(const std::string& why);
  void Cut();
  void Log(const std::string& text);

  MonotonicClock clock_;
  UniqueFd listener_;
  UniqueFd client_;
  int port_ = 0;
  LinePeer* peer_ = nullptr;
  telnet::TelnetCodec codec_{telnet::TelnetCodec::Role::kServer};
  std::string data_;
  std::vector<telnet::ComPortMessage> messages_;
  LineSettings settings_;
  bool dtr_ = false;
  bool cts_ = true;
  bool cd_ = true;
  bool cutting_ = false;
  std::uint8_t modem_mask_ = 0;
  // Changes not notified yet, and whether their notification is on its way.
  std::uint8_t deltas_ = 0;
  bool notify_scheduled_ = false;
  std::atomic<bool> stop_{false};
  LineTimers timers_{clock_};
};

}  // namespace xmodemquarvel::sim
