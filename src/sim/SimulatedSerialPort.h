#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "sim/LinePeer.h"
#include "xmodemquarvel/Clock.h"
#include "xmodemquarvel/SerialPort.h"

namespace xmodemquarvel::sim {

// An in-process serial line on the virtual clock. The component holds it as its
// SerialPort; the far end (a LinePeer, or a test directly) sends bytes back,
// drives CTS and CD, and finds both directions recorded.
//
// Unpaced, what the component writes reaches the peer at once. Paced at a baud
// rate, each chunk takes ten bit times a byte to cross, in both directions.
class SimulatedSerialPort final : public SerialPort, public Line {
 public:
  explicit SimulatedSerialPort(std::shared_ptr<VirtualClock> clock);

  // --- the component's side ---
  void CommPort(int32_t port) override;
  int32_t CommPort() const override { return port_; }
  void Device(const std::string& path) override;
  std::string Device() const override { return device_; }
  void Settings(const std::string& settings) override;
  std::string Settings() const override { return settings_; }
  void PortOpen(bool open) override;
  bool PortOpen() const override { return open_; }
  void Break(bool on) override { break_ = on; }
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

  // --- the far end's side ---
  void AttachPeer(LinePeer* peer) { peer_ = peer; }
  // Bytes sent towards the component; with pacing they arrive later.
  void SendToHost(std::string_view bytes) override;
  void SetCts(bool on) override { cts_ = on; }
  void SetCd(bool on) override { cd_ = on; }
  void After(Clock::Duration delay, std::function<void()> action) override {
    clock_->ScheduleAfter(delay, std::move(action));
  }
  // 0: no pacing.
  void PaceAt(int32_t bits_per_second) { bits_per_second_ = bits_per_second; }
  // The next opening fails as if another program held the port.
  void RefuseOpen(bool refuse) { refuse_open_ = refuse; }
  // The next selection, settings change or opening throws `failure` instead, as
  // a port of the host's own may throw anything.
  void FailNextChange(std::exception_ptr failure) { next_failure_ = std::move(failure); }
  // Keep a copy of both directions (on by default; long benchmarks turn it off).
  void Record(bool on) { record_ = on; }

  const std::string& HostWrote() const { return host_wrote_; }
  // How many bytes the component has taken with Input(), recorded or not.
  std::uint64_t HostTook() const { return host_took_; }
  const std::string& PeerWrote() const { return peer_wrote_; }
  void ClearRecords() {
    host_wrote_.clear();
    peer_wrote_.clear();
  }
  bool BreakOn() const { return break_; }
  int32_t RThresholdValue() const { return rthreshold_; }
  int32_t InputLenValue() const { return input_len_; }
  int OpenCount() const { return open_count_; }
  VirtualClock& Time() { return *clock_; }

 private:
  void RequireOpen() const;
  void ThrowPlannedFailure();
  Clock::Duration TransmitTime(std::size_t bytes) const;
  void DeliverToHost(std::string_view bytes);
  // Delivers at once, or after the transmit time when the line is paced.
  void Carry(std::string_view bytes, Clock::TimePoint& free_at,
             void (SimulatedSerialPort::*deliver)(std::string_view));
  void DeliverToPeer(std::string_view bytes);

  std::shared_ptr<VirtualClock> clock_;
  LinePeer* peer_ = nullptr;
  int32_t port_ = 1;
  std::string device_ = "sim:COM1";
  // The settings as the serial layer writes them back.
  std::string settings_;
  bool open_ = false;
  bool break_ = false;
  bool dtr_ = true;
  bool cts_ = true;
  bool cd_ = true;
  bool refuse_open_ = false;
  std::exception_ptr next_failure_;
  bool record_ = true;
  int open_count_ = 0;
  int32_t rthreshold_ = 0;
  int32_t input_len_ = 0;
  int32_t bits_per_second_ = 0;
  Clock::TimePoint to_host_free_{};
  Clock::TimePoint to_peer_free_{};
  // Bytes waiting for the component: [rx_head_, end) of rx_.
  std::string rx_;
  std::size_t rx_head_ = 0;
  std::string host_wrote_;
  std::string peer_wrote_;
  std::uint64_t host_took_ = 0;
};

}  // namespace xmodemquarvel::sim
