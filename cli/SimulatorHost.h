#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "PacedLine.h"
#include "PtyLink.h"
#include "SimulatedServerSetup.h"
#include "SimulatorOptions.h"
#include "sim/PtyLine.h"
#include "sim/SimulatedModem.h"

namespace xmodemq {

// The simulated modem and server behind a real pseudo-terminal, with a
// symbolic link to the device that a client opens. Serves call after call:
// a client that closes the device hangs up, one that opens it again finds the
// modem in command mode. Everything runs on the thread that calls Run().
class SimulatorHost {
 public:
  // Throws std::system_error (no pseudo-terminal), FileFailure (link refused) and
  // std::invalid_argument (an option the simulator cannot take).
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

  const std::string& LinkPath() const { return link_->Path(); }
  const std::string& SlavePath() const { return pty_.SlavePath(); }

  // One line per event of the simulator (call up, hang-up, cut, client gone);
  // called on the simulator's thread.
  std::function<void(const std::string&)> log;

 private:
  class PortWatch;
  void Log(const std::string& text);
  void Cut();

  xmodemquarvel::sim::PtyLine pty_;
  PacedLine paced_;
  xmodemquarvel::sim::SimulatedModem modem_;
  std::unique_ptr<ServerSetup> server_;
  std::unique_ptr<PortWatch> watch_;
  std::unique_ptr<PtyLink> link_;
  std::atomic<bool> stop_{false};
};

}  // namespace xmodemq
