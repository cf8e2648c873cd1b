#pragma once

#include <exception>
#include <memory>
#include <string>
#include <utility>

#include "component/HostLoop.h"
#include "xmodemquarvel/SerialPort.h"

namespace xmodemquarvel {

// The component's hold on the serial line. A host may hand in a port of its
// own, which may throw whatever it likes; every call goes through here, so the
// component sees each failure of the line as a SerialPortError (the message of
// anything derived from std::exception is kept) and its traps need to know one
// type only. A failure of the host's own code that a port's wait ran (its
// yield callback, TraceAppended) passes through as it is, never taken for a
// failure of the line.
class GuardedSerialPort final : public SerialPort {
 public:
  explicit GuardedSerialPort(std::unique_ptr<SerialPort> port) : port_(std::move(port)) {}

  void CommPort(int32_t port) override {
    Guard([&] { port_->CommPort(port); });
  }
  int32_t CommPort() const override {
    return Guard([&] { return port_->CommPort(); });
  }
  void Device(const std::string& path) override {
    Guard([&] { port_->Device(path); });
  }
  std::string Device() const override {
    return Guard([&] { return port_->Device(); });
  }
  void Settings(const std::string& settings) override {
    Guard([&] { port_->Settings(settings); });
  }
  std::string Settings() const override {
    return Guard([&] { return port_->Settings(); });
  }
  void PortOpen(bool open) override {
    Guard([&] { port_->PortOpen(open); });
  }
  bool PortOpen() const override {
    return Guard([&] { return port_->PortOpen(); });
  }
  void Break(bool on) override {
    Guard([&] { port_->Break(on); });
  }
  int32_t InBufferCount() override {
    return Guard([&] { return port_->InBufferCount(); });
  }
  void InBufferCount(int32_t count) override {
    Guard([&] { port_->InBufferCount(count); });
  }
  void RThreshold(int32_t threshold) override {
    Guard([&] { port_->RThreshold(threshold); });
  }
  void InputLen(int32_t length) override {
    Guard([&] { port_->InputLen(length); });
  }
  std::string Input() override {
    return Guard([&] { return port_->Input(); });
  }
  void Output(std::string_view bytes) override {
    Guard([&] { port_->Output(bytes); });
  }
  void DTREnable(bool on) override {
    Guard([&] { port_->DTREnable(on); });
  }
  bool DTREnable() const override {
    return Guard([&] { return port_->DTREnable(); });
  }
  bool CTSHolding() override {
    return Guard([&] { return port_->CTSHolding(); });
  }
  bool CDHolding() override {
    return Guard([&] { return port_->CDHolding(); });
  }
  int WaitDescriptor() const override {
    return Guard([&] { return port_->WaitDescriptor(); });
  }

 private:
  template <class Call>
  static auto Guard(Call&& call) -> decltype(call()) {
    try {
      return call();
    } catch (const SerialPortError&) {
      throw;
    } catch (const OperationAborted&) {
      // An abort met in one of the port's own waits ends the operation.
      throw;
    } catch (const HostCodeFailure&) {
      // So does the host's own code that such a wait ran.
      throw;
    } catch (const std::exception& e) {
      throw SerialPortError(std::error_code(), e.what());
    } catch (...) {
      throw SerialPortError(std::error_code(), "Erreur inconnue du port série");
    }
  }

  std::unique_ptr<SerialPort> port_;
};

}  // namespace xmodemquarvel
