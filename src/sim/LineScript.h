#pragma once
// What a far end says on the line, as a script: pieces, each a byte `c` and
// then `c & 63` bytes. `c >> 6` says when a piece goes: 0 when the component
// next writes, 1 at once, 2 after 3 s, 3 after 11 s (past a block time-out).
// An empty piece of kind 2 flips CTS, of kind 3 flips CD. Any bytes make a
// script, so fuzzers play arbitrary ones; LineRecorder writes real exchanges
// in this form.
#include <cstdint>
#include <span>
#include <string>

#include "sim/SimulatedSerialPort.h"

namespace xmodemquarvel::sim {

// Plays a script to the component, piece by piece, until it runs out.
class ScriptedPeer final : public LinePeer {
 public:
  ScriptedPeer(SimulatedSerialPort& port, std::span<const std::uint8_t> script);
  // Takes the first piece; call once attached.
  void Start() { Next(); }
  void OnHostBytes(std::string_view bytes) override;

  // Every byte given to the component, in order.
  const std::string& Played() const { return played_; }
  int Pieces() const { return pieces_; }
  // The last time a byte crossed either way, or a modem line flipped.
  Clock::TimePoint LastActivity() const { return last_; }

 private:
  void Next();
  void Deliver();

  SimulatedSerialPort& port_;
  std::span<const std::uint8_t> script_;
  std::string piece_;
  std::string played_;
  int kind_ = 0;
  int pieces_ = 0;
  bool on_write_ = false;
  bool cts_ = true;
  bool cd_ = true;
  Clock::TimePoint last_{};
};

// Stands between the line and a simulated modem or server, writing what that
// peer says as a script. A write of the component that got no answer before
// the next one leaves an empty piece of kind 0.
class LineRecorder final : public Line, public LinePeer {
 public:
  explicit LineRecorder(SimulatedSerialPort& port) : port_(port) {}
  void Attach(LinePeer& inner) { inner_ = &inner; }
  const std::string& Script() const { return script_; }

  void SendToHost(std::string_view bytes) override;
  void SetCts(bool on) override { port_.SetCts(on); }
  void SetCd(bool on) override { port_.SetCd(on); }
  void After(Clock::Duration delay, std::function<void()> action) override {
    port_.After(delay, std::move(action));
  }
  void OnHostBytes(std::string_view bytes) override;
  void OnDtr(bool on) override { inner_->OnDtr(on); }
  void OnPortOpen(bool open) override { inner_->OnPortOpen(open); }
  void OnCarrier(bool up) override { inner_->OnCarrier(up); }

 private:
  SimulatedSerialPort& port_;
  LinePeer* inner_ = nullptr;
  std::string script_;
  bool answering_ = false;
  Clock::TimePoint last_{};
};

}  // namespace xmodemquarvel::sim
