#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "sim/LinePeer.h"
#include "sim/SimulatedModem.h"
#include "simulator/PacedLine.h"
#include "simulator/PtyLink.h"
#include "simulator/SimulatedServerSetup.h"
#include "simulator/SimulatorOptions.h"
#include "simulator/SimulatorStore.h"

namespace xmodemq {

// The simulated modem and server behind a real pseudo-terminal, with a
// symbolic link to the device that a client opens, or behind a terminal
// server on a TCP port (--listen) that clients reach as rfc2217://HOST:PORT.
// Serves call after call: a client that closes the device (or its connection)
// hangs up, one that opens it again finds the modem in command mode. Every
// dial is logged. Everything runs on the thread that calls Run().
class SimulatorHost {
 public:
  // Throws std::system_error (no pseudo-terminal), FileFailure (link refused,
  // no store) and std::invalid_argument (an option the simulator cannot take,
  // a link another simulator serves, an address off this machine without
  // allow_remote).
  explicit SimulatorHost(const SimulatorOptions& options);
  ~SimulatorHost();
  SimulatorHost(const SimulatorHost&) = delete;
  SimulatorHost& operator=(const SimulatorHost&) = delete;

  // Serves until Stop().
  void Run();
  // Safe from another thread and from a signal handler.
  void Stop();

  // Cuts the next call after `frames` frames have gone to the client (see
  // PacedLine::ArmCut). Safe from another thread.
  void ArmCut(int32_t frames) { paced_.ArmCut(frames); }
  int Cuts() const { return paced_.Cuts(); }

  // Where clients go: the link's path, or rfc2217://HOST:PORT.
  std::string Where() const;
  // The pseudo-terminal behind the link (empty with --listen).
  std::string SlavePath() const;
  // The folder of the server's files, and whether it is the private one made
  // for this run (removed with the host).
  std::string StorePath() const;
  bool PrivateStore() const { return static_cast<bool>(private_store_); }
  // Whether clients may come from other machines (--listen off loopback).
  bool Remote() const { return remote_; }

  // One line per event of the simulator (client come and gone, dial,
  // opening, transfer completed, cut), as it happens; called on the
  // simulator's thread.
  std::function<void(const std::string&)> log;

 private:
  class PortWatch;
  void Log(const std::string& text);
  void Cut();

  std::string listen_host_;
  bool remote_ = false;
  std::unique_ptr<SimulatorStore> private_store_;
  std::string store_path_;
  std::unique_ptr<xmodemquarvel::sim::ServedLine> line_;
  PacedLine paced_;
  xmodemquarvel::sim::SimulatedModem modem_;
  std::unique_ptr<ServerSetup> server_;
  std::unique_ptr<PortWatch> watch_;
  std::unique_ptr<PtyLink> link_;
  std::atomic<bool> stop_{false};
};

}  // namespace xmodemq
