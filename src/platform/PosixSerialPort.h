#pragma once

#include <termios.h>

#include <array>
#include <cstddef>
#include <string>

#include "platform/LineSettings.h"
#include "platform/PortWait.h"
#include "platform/UniqueFd.h"
#include "xmodemquarvel/SerialPort.h"

namespace xmodemquarvel {

// A serial device through termios. Port number N is /dev/ttyS<N-1> unless the
// host names a device itself.
//
// Opening is one checked sequence: O_NOCTTY | O_NONBLOCK | O_CLOEXEC, an
// exclusive flock() and TIOCEXCL (a second opener, here or in another process,
// is refused), raw 8-bit mode without flow control, CLOCAL so that opening
// never waits for carrier, and HUPCL so that a host that dies hangs up the
// modem. The settings found at opening are restored at closing.
//
// A device without modem lines (a pseudo-terminal) reports CTS and CD as held
// and takes DTR changes as no-ops. A device that vanishes (EIO, POLLHUP, end of
// file) is a lost line: CTS and CD drop, and what is written is discarded.
class PosixSerialPort final : public SerialPort {
 public:
  PosixSerialPort();
  ~PosixSerialPort() override;

  void CommPort(int32_t port) override;
  int32_t CommPort() const override { return port_; }
  void Device(const std::string& path) override;
  std::string Device() const override { return device_; }
  void Settings(const std::string& settings) override;
  std::string Settings() const override { return settings_.ToString(); }

  void PortOpen(bool open) override;
  bool PortOpen() const override { return static_cast<bool>(fd_); }
  void Break(bool on) override;

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

  int WaitDescriptor() const override { return fd_ && !hung_up_ ? fd_.Get() : -1; }

  // Whether the open device has modem-control lines.
  bool HasModemLines() const { return has_modem_lines_; }
  // The wait that Output uses while the device does not take its bytes.
  void UseWait(PortWait* wait) { wait_.Use(wait); }
  // Output that the device does not take for this long is a failure.
  static constexpr std::chrono::seconds kWriteStall{10};

 private:
  void RequireOpen() const;
  void Open();
  void Close();
  void ApplySettings(const LineSettings& settings);
  void ApplyDtr();
  // Reads what the device holds into the buffer without blocking.
  void Fill();
  bool ModemLine(int bit);
  // Passes of the wait until the device takes output: its poll() events, or
  // -1 when it took nothing for kWriteStall (or a hang-up must not wait).
  int WaitToWrite();
  void LoseLine() { hung_up_ = true; }

  int32_t port_ = 1;
  std::string device_ = "/dev/ttyS0";
  LineSettings settings_;
  UniqueFd fd_;
  termios saved_{};
  bool has_modem_lines_ = false;
  bool hung_up_ = false;
  bool dtr_ = true;
  bool break_ = false;
  int32_t rthreshold_ = 0;
  int32_t input_len_ = 0;
  PortWaitSlot wait_;
  // Received bytes not yet taken, [head_, tail_) of a fixed buffer.
  std::array<char, 4096> buffer_{};
  std::size_t head_ = 0;
  std::size_t tail_ = 0;
};

}  // namespace xmodemquarvel
