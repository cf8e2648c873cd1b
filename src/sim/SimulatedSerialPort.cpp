#include "sim/SimulatedSerialPort.h"

#include "platform/PortRules.h"

#include <algorithm>
#include <cerrno>
#include <utility>

namespace xmodemquarvel::sim {
SimulatedSerialPort::SimulatedSerialPort(std::shared_ptr<VirtualClock> clock)
    : clock_(std::move(clock)), settings_(LineSettings{}.ToString()) {}

void SimulatedSerialPort::ThrowPlannedFailure() {
  if (next_failure_) std::rethrow_exception(std::exchange(next_failure_, nullptr));
}

void SimulatedSerialPort::CommPort(int32_t port) {
  ThrowPlannedFailure();
  RefuseSelectionWhileOpen(open_);
  RefuseBadPortNumber(port);
  port_ = port;
  device_ = "sim:COM" + std::to_string(port);
}

void SimulatedSerialPort::Device(const std::string& path) {
  ThrowPlannedFailure();
  RefuseSelectionWhileOpen(open_);
  RefuseEmptyDevice(path);
  device_ = path;
}

void SimulatedSerialPort::Settings(const std::string& text) {
  ThrowPlannedFailure();
  settings_ = ParseSettingsOrRefuse(text).ToString();
}

void SimulatedSerialPort::PortOpen(bool open) {
  if (open) {
    ThrowPlannedFailure();
    if (open_) FailPort(EBUSY, "Le port " + device_ + " est déjà ouvert");
    if (refuse_open_) FailPort(EBUSY, "Le port " + device_ + " est déjà utilisé");
    open_ = true;
    ++open_count_;
    if (peer_ != nullptr) peer_->OnPortOpen(true);
  } else if (open_) {
    open_ = false;
    rx_.clear();
    rx_head_ = 0;
    if (peer_ != nullptr) peer_->OnPortOpen(false);
  }
}

void SimulatedSerialPort::RequireOpen() const {
  RefuseUnlessOpen(open_);
}

int32_t SimulatedSerialPort::InBufferCount() {
  RequireOpen();
  return static_cast<int32_t>(rx_.size() - rx_head_);
}

void SimulatedSerialPort::InBufferCount(int32_t count) {
  RequireOpen();
  if (count != 0) FailPort(EINVAL, "Seule la valeur 0 vide le tampon de réception");
  rx_.clear();
  rx_head_ = 0;
}

std::string SimulatedSerialPort::Input() {
  RequireOpen();
  std::size_t n = rx_.size() - rx_head_;
  if (input_len_ > 0) n = std::min<std::size_t>(n, static_cast<std::size_t>(input_len_));
  std::string out = rx_.substr(rx_head_, n);
  rx_head_ += n;
  host_took_ += n;
  if (rx_head_ == rx_.size()) {
    rx_.clear();
    rx_head_ = 0;
  }
  return out;
}

Clock::Duration SimulatedSerialPort::TransmitTime(std::size_t bytes) const {
  if (bits_per_second_ <= 0) return Clock::Duration::zero();
  return std::chrono::duration_cast<Clock::Duration>(std::chrono::nanoseconds(
      static_cast<std::int64_t>(bytes) * 10 * 1'000'000'000LL / bits_per_second_));
}

void SimulatedSerialPort::Carry(std::string_view bytes, Clock::TimePoint& free_at,
                                void (SimulatedSerialPort::*deliver)(std::string_view)) {
  if (bits_per_second_ <= 0) {
    (this->*deliver)(bytes);
    return;
  }
  // A direction carries one chunk after another at the line's pace.
  free_at = std::max(clock_->Now(), free_at) + TransmitTime(bytes.size());
  clock_->Schedule(free_at,
                   [this, deliver, chunk = std::string(bytes)] { (this->*deliver)(chunk); });
}

void SimulatedSerialPort::Output(std::string_view bytes) {
  RequireOpen();
  if (record_) host_wrote_.append(bytes);
  Carry(bytes, to_peer_free_, &SimulatedSerialPort::DeliverToPeer);
}

void SimulatedSerialPort::DeliverToPeer(std::string_view bytes) {
  if (peer_ != nullptr) peer_->OnHostBytes(bytes);
}

void SimulatedSerialPort::SendToHost(std::string_view bytes) {
  if (record_) peer_wrote_.append(bytes);
  Carry(bytes, to_host_free_, &SimulatedSerialPort::DeliverToHost);
}

void SimulatedSerialPort::DeliverToHost(std::string_view bytes) {
  // A closed port receives nothing.
  if (open_) rx_.append(bytes);
}

void SimulatedSerialPort::DTREnable(bool on) {
  const bool changed = on != dtr_;
  dtr_ = on;
  if (open_ && changed && peer_ != nullptr) peer_->OnDtr(on);
}

bool SimulatedSerialPort::CTSHolding() {
  RequireOpen();
  return cts_;
}

bool SimulatedSerialPort::CDHolding() {
  RequireOpen();
  return cd_;
}

}  // namespace xmodemquarvel::sim
