#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/PortWait.h"
#include "xmodemquarvel/SerialPort.h"

namespace xmodemquarvel {

// The component's own serial line: a termios device (PosixSerialPort), or a
// line on a terminal server when the device is "rfc2217://HOST:PORT"
// (Rfc2217SerialPort). Choosing the device picks the kind; the settings, DTR,
// break and input length chosen so far carry over.
class DeviceSerialPort final : public SerialPort {
 public:
  DeviceSerialPort();
  ~DeviceSerialPort() override;

  void CommPort(int32_t port) override;
  int32_t CommPort() const override { return line_->CommPort(); }
  void Device(const std::string& path) override;
  std::string Device() const override { return line_->Device(); }
  void Settings(const std::string& settings) override { line_->Settings(settings); }
  std::string Settings() const override { return line_->Settings(); }
  void PortOpen(bool open) override { line_->PortOpen(open); }
  bool PortOpen() const override { return line_->PortOpen(); }
  void Break(bool on) override {
    line_->Break(on);
    break_ = on;
  }
  int32_t InBufferCount() override { return line_->InBufferCount(); }
  void InBufferCount(int32_t count) override { line_->InBufferCount(count); }
  void RThreshold(int32_t threshold) override {
    line_->RThreshold(threshold);
    rthreshold_ = threshold;
  }
  void InputLen(int32_t length) override {
    line_->InputLen(length);
    input_len_ = length;
  }
  std::string Input() override { return line_->Input(); }
  void Output(std::string_view bytes) override { line_->Output(bytes); }
  void DTREnable(bool on) override { line_->DTREnable(on); }
  bool DTREnable() const override { return line_->DTREnable(); }
  bool CTSHolding() override { return line_->CTSHolding(); }
  bool CDHolding() override { return line_->CDHolding(); }
  int WaitDescriptor() const override { return line_->WaitDescriptor(); }

  // Where a remote line tells what is worth a line of the trace.
  void OnNote(std::function<void(const std::string&)> note);
  // The wait that the lines' own waits go through (none: their own poll()).
  void UseWait(PortWait* wait);

 private:
  // Replaces the line by `next` (closed), carrying the choices made so far.
  void Switch(std::unique_ptr<SerialPort> next);
  // Hands the note and the wait to the line in use.
  void Wire();

  std::unique_ptr<SerialPort> line_;
  bool remote_ = false;
  bool break_ = false;
  int32_t rthreshold_ = 0;
  int32_t input_len_ = 0;
  std::function<void(const std::string&)> note_;
  PortWait* wait_ = nullptr;
};

}  // namespace xmodemquarvel
