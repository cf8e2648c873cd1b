#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sim/LinePeer.h"
#include "sim/LineTimers.h"

namespace xmodemquarvel {
namespace telnet {
struct ComPortMessage;
}  // namespace telnet

namespace sim {

// The far end of a remote serial line: a terminal server on a TCP port,
// speaking Telnet with the com port option, with a simulated modem or server
// behind it. One client at a time; a second one is turned away at once, as a
// line in use.
//
// What the peer learns of the client: its connection and its end
// (OnPortOpen), DTR (OnDtr), and its data and commands in the order it sent
// them. Settings, break and purges are answered and logged. What the client
// learns of the peer: CTS and CD through the modem state notifications, sent
// once the client speaks the com port option (its offer of the option, or
// any com port command where an offer crossed ours and never came) and on
// every request. Dropping both CTS and CD cuts the line: the client's
// connection is closed, and the next client finds CTS held.
//
// The loop never blocks on a client: what it does not read waits in a queue,
// and a client whose queue passes kMostUnread is dropped, as is one with no
// byte in either direction for the idle time.
class Rfc2217Line final : public ServedLine {
 public:
  static constexpr std::size_t kMostUnread = 256 * 1024;

  // Listens on `host`:`port` ("0" picks a free port; host "*" or empty: every
  // interface). Throws std::system_error.
  Rfc2217Line(const std::string& host, const std::string& port);
  ~Rfc2217Line() override;

  // Whether every address that `host` names is a loopback address, reachable
  // from this machine only ("*" and empty name every interface).
  static bool LoopbackOnly(const std::string& host);
  // A client with no byte in either direction for this long is dropped
  // (zero: never).
  void IdleTimeout(Clock::Duration idle) { idle_timeout_ = idle; }

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
  bool ClientConnected() const;

 private:
  void Accept();
  void OnClientBytes(std::string_view bytes);
  void OnCommand(const telnet::ComPortMessage& message);
  void Notify(std::uint8_t deltas);
  void ScheduleNotify();
  std::uint8_t ModemState(std::uint8_t deltas) const;
  void Reply(std::uint8_t command, std::string_view value);
  void Flush();
  void WriteQueued();
  void EndClient(const std::string& why);
  void Cut();
  void Log(const std::string& text);

  MonotonicClock clock_;
  // The sockets, the Telnet codec and the line's settings, kept inside the
  // sources.
  struct Wire;
  std::unique_ptr<Wire> wire_;
  int port_ = 0;
  LinePeer* peer_ = nullptr;
  std::string data_;
  bool dtr_ = false;
  bool cts_ = true;
  bool cd_ = true;
  bool cutting_ = false;
  std::uint8_t modem_mask_ = 0;
  // Changes not notified yet, and whether their notification is on its way.
  std::uint8_t deltas_ = 0;
  bool notify_scheduled_ = false;
  bool speaks_com_port_ = false;
  // What the client has not read yet, and whether it is to be dropped for it.
  std::string unread_;
  bool unread_overflow_ = false;
  Clock::Duration idle_timeout_{};
  Clock::TimePoint last_activity_{};
  std::atomic<bool> stop_{false};
  LineTimers timers_{clock_};
};

}  // namespace sim
}  // namespace xmodemquarvel
