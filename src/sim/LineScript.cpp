#include "sim/LineScript.h"

#include <algorithm>
#include <utility>

namespace xmodemquarvel::sim {

using namespace std::chrono_literals;

namespace {
constexpr std::size_t kLongestPiece = 63;
constexpr auto kLate = 3s;      // late, yet within every time-out
constexpr auto kTooLate = 11s;  // past a block time-out of ten seconds
}  // namespace

ScriptedPeer::ScriptedPeer(SimulatedSerialPort& port, std::span<const std::uint8_t> script)
    : port_(port), script_(script) {}

void ScriptedPeer::OnHostBytes(std::string_view /*bytes*/) {
  last_ = port_.Time().Now();
  if (std::exchange(on_write_, false)) Deliver();
}

void ScriptedPeer::Next() {
  if (script_.empty()) return;
  const std::size_t n = std::min<std::size_t>(script_[0] & kLongestPiece, script_.size() - 1);
  kind_ = script_[0] >> 6;
  piece_.assign(script_.begin() + 1, script_.begin() + 1 + static_cast<std::ptrdiff_t>(n));
  script_ = script_.subspan(1 + n);
  ++pieces_;
  on_write_ = kind_ == 0;
  if (kind_ > 0)
    port_.After(kind_ == 1 ? 0s : kind_ == 2 ? kLate : kTooLate, [this] { Deliver(); });
}

void ScriptedPeer::Deliver() {
  if (piece_.empty() && kind_ >= 2) {
    if (kind_ == 2)
      port_.SetCts(cts_ = !cts_);
    else
      port_.SetCd(cd_ = !cd_);
  } else {
    port_.SendToHost(piece_);
    played_ += piece_;
  }
  last_ = port_.Time().Now();
  Next();
}

void LineRecorder::SendToHost(std::string_view bytes) {
  const auto gap = port_.Time().Now() - last_;
  for (std::size_t at = 0; at < bytes.size(); at += kLongestPiece, answering_ = false) {
    const int kind = answering_ ? 0 : at > 0 || gap < kLate ? 1 : gap < kTooLate ? 2 : 3;
    const std::size_t n = std::min(kLongestPiece, bytes.size() - at);
    script_ += static_cast<char>(kind << 6 | static_cast<int>(n));
    script_.append(bytes.substr(at, n));
  }
  last_ = port_.Time().Now();
  port_.SendToHost(bytes);
}

void LineRecorder::OnHostBytes(std::string_view bytes) {
  if (std::exchange(answering_, true)) script_ += '\0';
  inner_->OnHostBytes(bytes);
}

}  // namespace xmodemquarvel::sim
