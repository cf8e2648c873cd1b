#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "sim/LinePeer.h"
#include "sim/Rfc2217Line.h"

namespace xmodemquarvel::sim {

// Far ends that misbehave, for the hostile-line tests and benchmark: each
// keeps a promise of the component honest (its waits end within their bounds,
// an abort ends them, the host's yield keeps running).

// What a hostile terminal server does with the client it accepts.
enum class Hostility {
  kSilent,                 // accepts and says nothing
  kStream,                 // streams bytes without end, never negotiates
  kEndlessSubnegotiation,  // opens a subnegotiation and never closes it
  kRefusesBinary,          // agrees to the com port option, refuses BINARY its way
  kNeverSettles,           // turns each option on and off again without end
  kRefusesComPort,         // answers the offers with no to the com port option, byte by byte
  kHangsUp,                // closes the connection as soon as it has accepted it
};

// A terminal server on a free loopback port that misbehaves as told, one
// client at a time, in a thread of its own until it is destroyed.
class HostileTelnetServer {
 public:
  // `bytes_per_second` paces what it streams.
  explicit HostileTelnetServer(Hostility hostility, std::size_t bytes_per_second = 10 << 20);
  ~HostileTelnetServer();
  HostileTelnetServer(const HostileTelnetServer&) = delete;
  HostileTelnetServer& operator=(const HostileTelnetServer&) = delete;

  // "rfc2217://127.0.0.1:PORT".
  std::string Device() const;

 private:
  void Serve();
  void Misbehave(int client);

  Hostility hostility_;
  std::size_t bytes_per_second_;
  // The listening socket, kept inside the sources.
  struct Listener;
  std::unique_ptr<Listener> listener_;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Bytes that never make an answer of the modem or the server: no control
// byte of the protocol, no CR, no LF.
std::string Junk(std::size_t size);

// A peer that floods the line with Junk(), `bytes_per_second` in chunks every
// `period`, while a call is up (behind a modem) or while the port is open
// (straight on a line).
class FloodPeer final : public LinePeer {
 public:
  FloodPeer(Line& line, std::size_t bytes_per_second,
            Clock::Duration period = std::chrono::milliseconds(1));
  ~FloodPeer() override;

  void OnHostBytes(std::string_view) override {}
  void OnCarrier(bool up) override { Flood(up); }
  void OnPortOpen(bool open) override { Flood(open); }

 private:
  void Flood(bool on);
  void Tick(unsigned generation);

  Line& line_;
  Clock::Duration period_;
  std::string chunk_;
  unsigned generation_ = 0;
  bool on_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// A terminal server that agrees to everything (BINARY, the com port option,
// the modem lines) with `peer` behind it, served in a thread of its own until
// it is destroyed.
class ServedRemoteLine {
 public:
  ServedRemoteLine();
  ~ServedRemoteLine();
  ServedRemoteLine(const ServedRemoteLine&) = delete;
  ServedRemoteLine& operator=(const ServedRemoteLine&) = delete;

  Rfc2217Line& Line() { return line_; }
  // Attach the peers first, then start.
  void Start();
  std::string Device() const;

 private:
  Rfc2217Line line_{"127.0.0.1", "0"};
  std::thread thread_;
};

}  // namespace xmodemquarvel::sim
