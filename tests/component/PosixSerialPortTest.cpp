#include "platform/PosixSerialPort.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "platform/UniqueFd.h"

namespace xmodemquarvel {
namespace {

using std::chrono::milliseconds;

// A pseudo-terminal pair; the test plays the far end on the master.
struct PtyPair {
  PtyPair() {
    int m = -1;
    int s = -1;
    char name[128] = {};
    if (::openpty(&m, &s, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty");
    master.Reset(m);
    slave.Reset(s);
    path = name;
  }
  std::string ReadMaster(std::size_t n) {
    std::string out;
    while (out.size() < n) {
      pollfd p{master.Get(), POLLIN, 0};
      if (::poll(&p, 1, 2000) <= 0) break;
      char buf[256];
      const ssize_t r = ::read(master.Get(), buf, sizeof buf);
      if (r <= 0) break;
      out.append(buf, static_cast<std::size_t>(r));
    }
    return out;
  }
  UniqueFd master;
  UniqueFd slave;  // kept open to read the line settings the port applied
  std::string path;
};

int32_t WaitForBytes(PosixSerialPort& port, MonotonicClock& clock, int32_t n) {
  const auto give_up = clock.Now() + milliseconds(2000);
  while (port.InBufferCount() < n && clock.Now() < give_up)
    port.WaitForInput(clock, clock.Now() + milliseconds(100));
  return port.InBufferCount();
}

TEST(PosixSerialPort, CarriesBytesBothWaysOverAPseudoTerminal) {
  PtyPair pty;
  PosixSerialPort port;
  MonotonicClock clock;
  port.Device(pty.path);
  port.PortOpen(true);
  EXPECT_FALSE(port.HasModemLines());
  EXPECT_TRUE(port.CTSHolding());
  EXPECT_TRUE(port.CDHolding());
  port.DTREnable(false);  // no modem lines: nothing happens
  port.DTREnable(true);

  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  port.Output(all);
  EXPECT_EQ(pty.ReadMaster(256), all);

  ASSERT_EQ(::write(pty.master.Get(), all.data(), all.size()), 256);
  ASSERT_EQ(WaitForBytes(port, clock, 256), 256);
  port.InputLen(1);
  std::string got;
  while (port.InBufferCount() > 0) {
    const std::string one = port.Input();
    ASSERT_EQ(one.size(), 1u);
    got += one;
  }
  EXPECT_EQ(got, all);

  ASSERT_EQ(::write(pty.master.Get(), "xyz", 3), 3);
  ASSERT_EQ(WaitForBytes(port, clock, 3), 3);
  port.InBufferCount(0);
  EXPECT_EQ(port.InBufferCount(), 0);
  port.PortOpen(false);
  EXPECT_FALSE(port.PortOpen());
}

// A pseudo-terminal always frames eight bits without parity, whatever it is
// asked; speed, stop bits and the rest of the mode are kept as set.
TEST(PosixSerialPort, AppliesTheLineSettingsAndRestoresThemOnClose) {
  struct Case {
    const char* text;
    speed_t speed;
    bool two_stop;
  };
  const Case cases[] = {
      {"9600,N,8,1", B9600, false},
      {"19200,E,7,1", B19200, false},
      {"1200,O,7,2", B1200, true},
      {"115200,N,8,2", B115200, true},
  };
  for (const auto& c : cases) {
    PtyPair pty;
    termios before{};
    ASSERT_EQ(::tcgetattr(pty.slave.Get(), &before), 0);
    PosixSerialPort port;
    port.Device(pty.path);
    port.Settings(c.text);
    port.PortOpen(true);
    termios t{};
    ASSERT_EQ(::tcgetattr(pty.slave.Get(), &t), 0);
    EXPECT_EQ(::cfgetospeed(&t), c.speed) << c.text;
    EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.two_stop) << c.text;
    EXPECT_NE(t.c_cflag & CLOCAL, 0u) << c.text;
    EXPECT_NE(t.c_cflag & CREAD, 0u) << c.text;
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u) << c.text;
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u) << c.text;
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u) << c.text;
    port.PortOpen(false);
    termios after{};
    ASSERT_EQ(::tcgetattr(pty.slave.Get(), &after), 0);
    EXPECT_EQ(after.c_cflag, before.c_cflag) << c.text;
    EXPECT_EQ(after.c_lflag, before.c_lflag) << c.text;
  }
}

TEST(PosixSerialPort, ChangingSettingsOfAnOpenPortAppliesThem) {
  PtyPair pty;
  PosixSerialPort port;
  port.Device(pty.path);
  port.PortOpen(true);
  port.Settings("38400,N,8,1");
  termios t{};
  ASSERT_EQ(::tcgetattr(pty.slave.Get(), &t), 0);
  EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B38400));
  EXPECT_THROW(port.Settings("38400,Q,8,1"), SerialPortError);
  EXPECT_EQ(port.Settings(), "38400,N,8,1");
}

TEST(PosixSerialPort, RefusesASecondOpenerAndChangesWhileOpen) {
  PtyPair pty;
  PosixSerialPort first;
  first.Device(pty.path);
  first.PortOpen(true);

  PosixSerialPort second;
  second.Device(pty.path);
  try {
    second.PortOpen(true);
    FAIL() << "a second opener was let in";
  } catch (const SerialPortError& e) {
    EXPECT_NE(e.Message().find("déjà utilisé"), std::string::npos) << e.Message();
  }
  EXPECT_FALSE(second.PortOpen());
  EXPECT_THROW(first.PortOpen(true), SerialPortError);
  EXPECT_THROW(first.CommPort(2), SerialPortError);
  EXPECT_THROW(first.Device("/dev/null"), SerialPortError);
  EXPECT_EQ(first.Device(), pty.path);

  first.PortOpen(false);
  second.PortOpen(true);  // free again once closed
  EXPECT_TRUE(second.PortOpen());
}

TEST(PosixSerialPort, RefusesMissingAndNonSerialDevicesWithTheirOwnMessage) {
  struct Case {
    const char* path;
    const char* says;
  };
  const Case cases[] = {
      {"/dev/ttyXQ-missing", "n'existe pas"},
      {"/dev/null", "n'est pas un port série"},
  };
  for (const auto& c : cases) {
    PosixSerialPort port;
    port.Device(c.path);
    try {
      port.PortOpen(true);
      FAIL() << c.path;
    } catch (const SerialPortError& e) {
      EXPECT_NE(e.Message().find(c.says), std::string::npos) << e.Message();
      EXPECT_NE(e.code().value(), 0);
    }
    EXPECT_FALSE(port.PortOpen());
  }
}

TEST(PosixSerialPort, PortNumbersNameTheSerialDevices) {
  PosixSerialPort port;
  port.CommPort(1);
  EXPECT_EQ(port.Device(), "/dev/ttyS0");
  port.CommPort(12);
  EXPECT_EQ(port.Device(), "/dev/ttyS11");
  EXPECT_THROW(port.CommPort(0), SerialPortError);
  EXPECT_THROW(port.CommPort(256), SerialPortError);
  EXPECT_EQ(port.CommPort(), 12);
}

TEST(PosixSerialPort, AClosedPortRefusesInputAndOutput) {
  PosixSerialPort port;
  EXPECT_THROW(port.Output("x"), SerialPortError);
  EXPECT_THROW(port.Input(), SerialPortError);
  EXPECT_THROW(port.InBufferCount(), SerialPortError);
  EXPECT_THROW(port.CTSHolding(), SerialPortError);
  port.Break(false);  // kept for the next opening
  port.DTREnable(true);
  port.InputLen(1);
}

TEST(PosixSerialPort, AVanishedFarEndIsALostLineNotASpin) {
  PtyPair pty;
  pty.slave.Reset();
  PosixSerialPort port;
  MonotonicClock clock;
  port.Device(pty.path);
  port.PortOpen(true);
  ASSERT_TRUE(port.CTSHolding());
  pty.master.Reset();

  const auto start = clock.Now();
  port.WaitForInput(clock, clock.Now() + milliseconds(5000));
  EXPECT_LT(clock.Now() - start, milliseconds(1000));  // woken by the hang-up
  EXPECT_FALSE(port.CTSHolding());
  EXPECT_FALSE(port.CDHolding());
  EXPECT_EQ(port.InBufferCount(), 0);
  port.Output("lost");  // discarded, no failure
  const auto again = clock.Now();
  port.WaitForInput(clock, clock.Now() + milliseconds(50));
  EXPECT_GE(clock.Now() - again, milliseconds(45));  // slept, did not spin
}

TEST(PosixSerialPort, AVirtualClockMovesOnWhenTheLineIsQuiet) {
  PtyPair pty;
  PosixSerialPort port;
  VirtualClock clock;
  port.Device(pty.path);
  port.PortOpen(true);
  const auto deadline = clock.Now() + milliseconds(20);
  port.WaitForInput(clock, deadline);
  EXPECT_EQ(clock.Now(), deadline);
}

}  // namespace
}  // namespace xmodemquarvel
