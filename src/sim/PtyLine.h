#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "sim/LinePeer.h"
#include "sim/LineTimers.h"

namespace xmodemquarvel::sim {

// The far end of a pseudo-terminal pair: a simulated modem or server behind
// the master side, the component (or any program) on the slave device.
//
// A pseudo-terminal has no modem lines. What the peer learns of the other side:
// the slave being opened and closed (OnPortOpen), nothing of DTR. What the
// other side learns of the peer: dropping both CTS and CD cuts the line, which
// closes the master (the slave then reads end of file and hangs up) and opens
// a fresh pair whose slave path `on_new_slave` is told of.
class PtyLine final : public ServedLine {
 public:
  PtyLine();
  ~PtyLine() override;

  const std::string& SlavePath() const { return slave_path_; }
  void AttachPeer(LinePeer* peer) override { peer_ = peer; }
  // Called with the new slave path after the line was cut and made anew.
  std::function<void(const std::string&)> on_new_slave;

  void SendToHost(std::string_view bytes) override;
  void SetCts(bool on) override;
  void SetCd(bool on) override;
  void After(Clock::Duration delay, std::function<void()> action) override;

  // Serves the line until `Stop()` or until `until` has passed: bytes from the
  // slave go to the peer, timed actions run when due. Blocks in poll().
  void Run(Clock::TimePoint until = Clock::TimePoint::max()) override;
  // Safe from another thread or a signal handler.
  void Stop() override { stop_.store(true); }
  bool SlaveOpen() const { return slave_open_; }

 private:
  void OpenPair();
  void Cut();

  MonotonicClock clock_;
  // The master side's descriptor, kept inside the sources.
  struct Master;
  std::unique_ptr<Master> master_;
  std::string slave_path_;
  LinePeer* peer_ = nullptr;
  bool cts_ = true;
  bool cd_ = true;
  bool slave_open_ = false;
  bool cutting_ = false;
  std::atomic<bool> stop_{false};
  LineTimers timers_{clock_};
};

}  // namespace xmodemquarvel::sim
