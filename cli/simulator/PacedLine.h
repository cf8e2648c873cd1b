#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string_view>

#include "sim/LinePeer.h"
#include "xmodemquarvel/Clock.h"

namespace xmodemq {

// What the simulated modem and server see as their line: the pseudo-terminal,
// paced at a chosen bit rate so that a transfer takes the time a real line
// would give it (a pseudo-terminal moves bytes at memory speed), and able to
// cut the line in the middle of a call.
class PacedLine final : public xmodemquarvel::sim::Line {
 public:
  using Clock = xmodemquarvel::Clock;

  // `cut` drops the line (the pseudo-terminal is closed and made anew).
  PacedLine(xmodemquarvel::sim::Line& inner, std::function<void()> cut);

  // 0: no pacing. Ten bit times per byte, as with one start and one stop bit.
  void PaceAt(int32_t bits_per_second) { bits_per_second_ = bits_per_second; }
  // Cuts the line, once, in place of sending the frame that would follow the
  // `frames`-th frame (133 bytes, SOH first) of a call: a receiving client
  // then holds exactly the frames before the cut. The server's response to
  // an opening counts as one, and so does each acknowledgement the server
  // sends after it: a sending client has `frames` - 1 blocks acknowledged
  // (the server stored one more, whose acknowledgement the cut took). Safe
  // from another thread.
  void ArmCut(int32_t frames) { cut_after_.store(frames); }
  bool CutDone() const { return cuts_.load() > 0; }
  int Cuts() const { return cuts_.load(); }
  // Frames sent to the client in the current call.
  int32_t FramesThisCall() const { return frames_.load(); }

  // Bytes from the client on their way to `peer`, paced like the other way.
  void FromHost(std::string_view bytes, xmodemquarvel::sim::LinePeer& peer);

  void SendToHost(std::string_view bytes) override;
  void SetCts(bool on) override { inner_.SetCts(on); }
  void SetCd(bool on) override;
  void After(Clock::Duration delay, std::function<void()> action) override {
    inner_.After(delay, std::move(action));
  }

 private:
  Clock::Duration TransmitTime(std::size_t bytes) const;

  xmodemquarvel::sim::Line& inner_;
  std::function<void()> cut_;
  xmodemquarvel::MonotonicClock clock_;
  int32_t bits_per_second_ = 0;
  // When the line towards the client, and towards the peer, is next free.
  Clock::TimePoint free_at_{};
  Clock::TimePoint peer_free_at_{};
  std::atomic<int32_t> cut_after_{-1};
  std::atomic<int32_t> frames_{0};
  // Acknowledgements sent after a frame in the current call.
  std::atomic<int32_t> acks_{0};
  std::atomic<int> cuts_{0};
};

}  // namespace xmodemq
