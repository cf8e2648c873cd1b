// The termios port against a pseudo-terminal whose master side the test plays;
// the one write-all loop: short writes, a descriptor that would block, a
// closed socket, a descriptor not open for writing.
#include "platform/PosixSerialPort.h"
#include "platform/WriteAll.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>

#include <gtest/gtest.h>

namespace xmodemquarvel {
namespace {

using namespace std::chrono_literals;

struct PtyPair {
  PtyPair() {
    int m = -1, s = -1;
    char name[128] = {};
    if (::openpty(&m, &s, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty");
    master.Reset(m);
    slave.Reset(s);
    path = name;
  }
  std::string ReadMaster(std::size_t n) {
    std::string out;
    char buf[256];
    pollfd p{master.Get(), POLLIN, 0};
    while (out.size() < n && ::poll(&p, 1, 2000) > 0) {
      const ssize_t r = ::read(master.Get(), buf, sizeof buf);
      if (r <= 0) break;
      out.append(buf, static_cast<std::size_t>(r));
    }
    return out;
  }
  termios Mode() const {
    termios t{};
    ::tcgetattr(slave.Get(), &t);
    return t;
  }
  UniqueFd master;
  UniqueFd slave;  // kept open to read the line settings the port applied
  std::string path;
};

// The waits below are single passes of a port's own wait (poll() on the
// descriptor the port gives, none once the line is lost) until a deadline.
TEST(PosixSerialPort, CarriesEveryByteBothWaysAndWaitsOnTheLineOrTheClock) {
  PtyPair pty;
  PosixSerialPort port;
  port.Device(pty.path);
  port.PortOpen(true);
  // A pseudo-terminal has no modem lines: CTS and CD are taken as held.
  EXPECT_FALSE(port.HasModemLines());
  EXPECT_TRUE(port.CTSHolding() && port.CDHolding());
  port.DTREnable(false);
  port.DTREnable(true);

  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  port.Output(all);
  EXPECT_EQ(pty.ReadMaster(256), all);
  ASSERT_EQ(::write(pty.master.Get(), all.data(), all.size()), 256);
  MonotonicClock clock;
  const auto give_up = clock.Now() + 2s;
  while (port.InBufferCount() < 256 && clock.Now() < give_up)
    DirectWait(clock).Pass(port.WaitDescriptor(), POLLIN, clock.Now() + 100ms);
  port.InputLen(1);
  std::string got;
  while (port.InBufferCount() > 0) got += port.Input();
  EXPECT_EQ(got, all);

  ASSERT_EQ(::write(pty.master.Get(), "xyz", 3), 3);
  DirectWait(clock).Pass(port.WaitDescriptor(), POLLIN, clock.Now() + 2s);
  port.InBufferCount(0);
  EXPECT_EQ(port.InBufferCount(), 0);
  // Settings changed while open apply at once; a refused text changes nothing.
  port.Settings("38400,N,8,1");
  const termios mode = pty.Mode();
  EXPECT_EQ(::cfgetospeed(&mode), static_cast<speed_t>(B38400));
  EXPECT_THROW(port.Settings("38400,Q,8,1"), SerialPortError);
  EXPECT_EQ(port.Settings(), "38400,N,8,1");
  // With nothing coming, a virtual clock jumps to the deadline.
  VirtualClock virtual_clock;
  const auto deadline = virtual_clock.Now() + 20ms;
  DirectWait(virtual_clock).Pass(port.WaitDescriptor(), POLLIN, deadline);
  EXPECT_EQ(virtual_clock.Now(), deadline);
  port.PortOpen(false);
  EXPECT_FALSE(port.PortOpen());
}

// A pseudo-terminal always frames eight bits without parity, whatever it is
// asked; speed, stop bits and the rest of the mode are kept as set.
TEST(PosixSerialPort, AppliesTheLineSettingsInRawModeAndRestoresThemOnClose) {
  // clang-format off
  const std::tuple<const char*, speed_t, bool> cases[] = {
      {"9600,N,8,1", B9600, false}, {"19200,E,7,1", B19200, false}, {"1200,O,7,2", B1200, true}, {"115200,N,8,2", B115200, true}};
  // clang-format on
  for (const auto& [text, speed, two_stop] : cases) {
    PtyPair pty;
    const termios before = pty.Mode();
    PosixSerialPort port;
    port.Device(pty.path);
    port.Settings(text);
    port.PortOpen(true);
    const termios t = pty.Mode();
    EXPECT_EQ(::cfgetospeed(&t), speed) << text;
    EXPECT_EQ((t.c_cflag & CSTOPB) != 0, two_stop) << text;
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD | CRTSCTS), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u) << text;
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u) << text;
    port.PortOpen(false);
    EXPECT_EQ(pty.Mode().c_cflag, before.c_cflag) << text;
    EXPECT_EQ(pty.Mode().c_lflag, before.c_lflag) << text;
  }
}

TEST(PosixSerialPort, RefusesWithItsOwnMessage) {
  const auto refused = [](auto&& call, const std::string& says) {
    try {
      call();
      ADD_FAILURE() << "not refused: " << says;
    } catch (const SerialPortError& e) {
      EXPECT_NE(e.Message().find(says), std::string::npos) << e.Message();
      EXPECT_NE(e.code().value(), 0) << says;
    }
  };
  PtyPair pty;
  PosixSerialPort first, second, closed;
  first.Device(pty.path);
  first.PortOpen(true);
  second.Device(pty.path);
  refused([&] { second.PortOpen(true); }, "déjà utilisé");
  refused([&] { first.PortOpen(true); }, "déjà ouvert");
  refused([&] { first.CommPort(2); }, "port est ouvert");
  refused([&] { first.Device("/dev/null"); }, "port est ouvert");
  EXPECT_EQ(first.Device(), pty.path);
  first.PortOpen(false);
  second.PortOpen(true);  // free again once closed
  EXPECT_TRUE(second.PortOpen());

  for (const auto& [path, says] : {std::pair{"/dev/ttyXQ-missing", "n'existe pas"},
                                   std::pair{"/dev/null", "n'est pas un port série"}}) {
    closed.Device(path);
    refused([&] { closed.PortOpen(true); }, says);
    EXPECT_FALSE(closed.PortOpen());
  }
  closed.CommPort(255);
  EXPECT_EQ(closed.Device(), "/dev/ttyS254");
  closed.CommPort(12);
  EXPECT_EQ(closed.Device(), "/dev/ttyS11");
  refused([&] { closed.CommPort(0); }, "Numéro de port invalide");
  refused([&] { closed.CommPort(256); }, "Numéro de port invalide");
  EXPECT_EQ(closed.CommPort(), 12);
  for (const auto& call : std::initializer_list<std::function<void()>>{
           [&] { closed.Output("x"); }, [&] { closed.Input(); }, [&] { closed.InBufferCount(); },
           [&] { closed.CTSHolding(); }})
    refused(call, "n'est pas ouvert");
  closed.Break(false);  // kept for the next opening, no failure
  closed.DTREnable(true);
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
  DirectWait(clock).Pass(port.WaitDescriptor(), POLLIN, clock.Now() + 5s);
  EXPECT_LT(clock.Now() - start, 1s);  // woken by the hang-up
  EXPECT_FALSE(port.CTSHolding() || port.CDHolding());
  EXPECT_EQ(port.InBufferCount(), 0);
  port.Output("lost");  // discarded, no failure
  // The lost line gives no descriptor: the next wait sleeps, it does not spin.
  EXPECT_EQ(port.WaitDescriptor(), -1);
  const auto again = clock.Now();
  DirectWait(clock).Pass(port.WaitDescriptor(), POLLIN, clock.Now() + 50ms);
  EXPECT_GE(clock.Now() - again, 45ms);
}

struct Pipe {
  Pipe() {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    read_end.Reset(fds[0]);
    write_end.Reset(fds[1]);
    ::fcntl(write_end.Get(), F_SETFL, O_NONBLOCK);
  }
  std::string Drain() {
    std::string got;
    char buffer[65536];
    ::fcntl(read_end.Get(), F_SETFL, O_NONBLOCK);
    for (ssize_t n; (n = ::read(read_end.Get(), buffer, sizeof buffer)) > 0;)
      got.append(buffer, static_cast<std::size_t>(n));
    return got;
  }
  UniqueFd read_end, write_end;
};

TEST(WriteAll, GoesOnUntilAllIsWrittenOrSaysWhyNot) {
  // More than a pipe holds: it fills, and the caller decides what a full
  // descriptor means.
  const std::string big(1 << 20, 'x');
  struct Row {
    const char* what;
    bool waits;  // the blocked callback drains and says to go on
    bool given;  // a blocked callback at all
    int error;
  };
  const Row rows[] = {{"a caller that waits gets everything through", true, true, 0},
                      {"a caller that gives up gets EAGAIN", false, true, EAGAIN},
                      {"no caller to ask: EAGAIN", false, false, EAGAIN}};
  for (const Row& row : rows) {
    Pipe pipe;
    std::string received;
    int asked = 0;
    std::size_t written = 0;
    const std::function<bool()> blocked = [&] {
      ++asked;
      received += pipe.Drain();
      return row.waits;
    };
    EXPECT_EQ(WriteAll(pipe.write_end.Get(), big, written, row.given ? blocked : nullptr, false),
              row.error)
        << row.what;
    received += pipe.Drain();
    EXPECT_EQ(received, big.substr(0, written)) << row.what;
    EXPECT_EQ(written == big.size(), row.error == 0) << row.what;
    EXPECT_GT(written, 0u) << row.what;
    EXPECT_EQ(asked > 0, row.given) << row.what;
  }
  // A socket whose peer is gone: EPIPE, and no SIGPIPE ends the process.
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  UniqueFd mine(pair[0]);
  ::close(pair[1]);
  std::size_t written = 0;
  EXPECT_EQ(WriteAll(mine.Get(), "lost", written, nullptr, true), EPIPE);
  EXPECT_EQ(written, 0u);
  // A descriptor not open for writing.
  UniqueFd read_only(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  EXPECT_EQ(WriteAll(read_only.Get(), "x"), EBADF);
  EXPECT_EQ(WriteAll(read_only.Get(), ""), 0) << "nothing to write, nothing tried";
}

}  // namespace
}  // namespace xmodemquarvel
