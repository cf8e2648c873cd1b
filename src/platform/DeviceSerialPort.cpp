#include "platform/DeviceSerialPort.h"

#include "platform/PortRules.h"
#include "platform/PosixSerialPort.h"
#include "platform/Rfc2217SerialPort.h"

namespace xmodemquarvel {

DeviceSerialPort::DeviceSerialPort() : line_(std::make_unique<PosixSerialPort>()) {}

DeviceSerialPort::~DeviceSerialPort() = default;

void DeviceSerialPort::Switch(std::unique_ptr<SerialPort> next) {
  next->Settings(line_->Settings());
  next->DTREnable(line_->DTREnable());
  next->Break(break_);
  next->RThreshold(rthreshold_);
  next->InputLen(input_len_);
  line_ = std::move(next);
  remote_ = !remote_;
  Wire();
}

void DeviceSerialPort::Wire() {
  if (remote_) {
    auto& remote = static_cast<Rfc2217SerialPort&>(*line_);
    remote.note = note_;
    remote.UseWait(wait_);
  } else {
    static_cast<PosixSerialPort&>(*line_).UseWait(wait_);
  }
}

void DeviceSerialPort::UseWait(PortWait* wait) {
  wait_ = wait;
  Wire();
}

void DeviceSerialPort::CommPort(int32_t port) {
  RefuseSelectionWhileOpen(line_->PortOpen());
  if (remote_) {
    auto local = std::make_unique<PosixSerialPort>();
    local->CommPort(port);
    Switch(std::move(local));
    return;
  }
  line_->CommPort(port);
}

void DeviceSerialPort::Device(const std::string& path) {
  RefuseSelectionWhileOpen(line_->PortOpen());
  const bool remote = RemoteAddress::IsRemote(path);
  if (remote == remote_) {
    line_->Device(path);
    return;
  }
  // The new kind takes the device first, so a refusal leaves the old one.
  std::unique_ptr<SerialPort> next;
  if (remote) {
    next = std::make_unique<Rfc2217SerialPort>();
  } else {
    next = std::make_unique<PosixSerialPort>();
  }
  next->Device(path);
  Switch(std::move(next));
}

void DeviceSerialPort::OnNote(std::function<void(const std::string&)> note) {
  note_ = std::move(note);
  Wire();
}

}  // namespace xmodemquarvel
