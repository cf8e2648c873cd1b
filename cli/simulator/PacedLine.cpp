#include "simulator/PacedLine.h"

#include <algorithm>
#include <string>

namespace xmodemq {

PacedLine::PacedLine(xmodemquarvel::sim::Line& inner, std::function<void()> cut)
    : inner_(inner), cut_(std::move(cut)) {}

void PacedLine::SetCd(bool on) {
  // Carrier comes up when a dial connects: a new call starts its count.
  if (on) {
    frames_.store(0);
    acks_.store(0);
  }
  inner_.SetCd(on);
}

void PacedLine::SendToHost(std::string_view bytes) {
  const bool frame = bytes.size() == 133 && bytes.front() == '\x01';
  // The server's ACK and CR, once its response has gone: a send's block.
  const bool ack = bytes.size() == 2 && bytes.front() == '\x06' && frames_.load() > 0;
  if (frame || ack) {
    const int32_t armed = cut_after_.load();
    if (armed >= 0 && frames_.load() + acks_.load() >= armed) {
      cut_after_.store(-1);
      ++cuts_;
      cut_();
      return;
    }
    ++(frame ? frames_ : acks_);
  }
  if (bits_per_second_ <= 0) {
    inner_.SendToHost(bytes);
    return;
  }
  // Bytes leave one after the other: each chunk waits for the one before it.
  const auto now = clock_.Now();
  free_at_ = std::max(now, free_at_) + TransmitTime(bytes.size());
  inner_.After(free_at_ - now, [this, chunk = std::string(bytes)] { inner_.SendToHost(chunk); });
}

void PacedLine::FromHost(std::string_view bytes, xmodemquarvel::sim::LinePeer& peer) {
  if (bits_per_second_ <= 0) {
    peer.OnHostBytes(bytes);
    return;
  }
  const auto now = clock_.Now();
  peer_free_at_ = std::max(now, peer_free_at_) + TransmitTime(bytes.size());
  inner_.After(peer_free_at_ - now,
               [&peer, chunk = std::string(bytes)] { peer.OnHostBytes(chunk); });
}

PacedLine::Clock::Duration PacedLine::TransmitTime(std::size_t bytes) const {
  return std::chrono::duration_cast<Clock::Duration>(std::chrono::nanoseconds(
      static_cast<int64_t>(bytes) * 10 * 1'000'000'000LL / bits_per_second_));
}

}  // namespace xmodemq
