#include "sim/PtyLine.h"

#include "platform/UniqueFd.h"
#include "sim/WriteOrDrop.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace xmodemquarvel::sim {
namespace {

[[noreturn]] void Fail(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// While no program holds the slave open, the master reports POLLHUP without
// end; it is looked at again after this long instead of spinning.
constexpr auto kAbsentSlaveRecheck = std::chrono::milliseconds(10);

}  // namespace

struct PtyLine::Master {
  UniqueFd fd;
};

PtyLine::PtyLine() : master_(std::make_unique<Master>()) {
  OpenPair();
}

PtyLine::~PtyLine() = default;

void PtyLine::OpenPair() {
  UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!master) Fail("posix_openpt");
  if (::grantpt(master.Get()) != 0 || ::unlockpt(master.Get()) != 0) Fail("unlockpt");
  char name[128] = {};
  if (::ptsname_r(master.Get(), name, sizeof name) != 0) Fail("ptsname_r");
  const int flags = ::fcntl(master.Get(), F_GETFL);
  ::fcntl(master.Get(), F_SETFL, flags | O_NONBLOCK);
  // The slave starts raw, as a modem's line would: no echo, no line editing.
  {
    UniqueFd slave(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!slave) Fail("open slave");
    termios t{};
    if (::tcgetattr(slave.Get(), &t) == 0) {
      ::cfmakeraw(&t);
      ::tcsetattr(slave.Get(), TCSANOW, &t);
    }
  }
  master_->fd = std::move(master);
  slave_path_ = name;
  slave_open_ = false;
}

void PtyLine::SendToHost(std::string_view bytes) {
  if (master_->fd) WriteOrDrop(master_->fd.Get(), bytes, stop_);
}

void PtyLine::SetCts(bool on) {
  cts_ = on;
  if (!cts_ && !cd_) Cut();
}

void PtyLine::SetCd(bool on) {
  cd_ = on;
  if (!cts_ && !cd_) Cut();
}

void PtyLine::Cut() {
  // The peer, told that the port closed, may drop CD itself: one cut only.
  if (cutting_) return;
  cutting_ = true;
  if (slave_open_ && peer_ != nullptr) peer_->OnPortOpen(false);
  master_->fd.Reset();
  timers_.Clear();
  OpenPair();
  cts_ = cd_ = true;
  cutting_ = false;
  if (on_new_slave) on_new_slave(slave_path_);
}

void PtyLine::After(Clock::Duration delay, std::function<void()> action) {
  timers_.After(delay, std::move(action));
}

void PtyLine::Run(Clock::TimePoint until) {
  char buffer[4096];
  while (!stop_.load()) {
    const auto now = clock_.Now();
    if (now >= until) return;
    const auto wake = timers_.RunDue(until);
    pollfd p{master_->fd.Get(), POLLIN, 0};
    const int r = ::poll(&p, 1, timers_.MillisecondsTo(wake));
    if (r < 0) {
      if (errno == EINTR) continue;
      Fail("poll");
    }
    if (r == 0) continue;
    if (p.revents & POLLIN) {
      const ssize_t n = ::read(master_->fd.Get(), buffer, sizeof buffer);
      if (n > 0) {
        if (!slave_open_) {
          slave_open_ = true;
          if (peer_ != nullptr) peer_->OnPortOpen(true);
        }
        if (peer_ != nullptr)
          peer_->OnHostBytes(std::string_view(buffer, static_cast<std::size_t>(n)));
        continue;
      }
    }
    if (p.revents & POLLHUP) {
      if (slave_open_) {
        slave_open_ = false;
        if (peer_ != nullptr) peer_->OnPortOpen(false);
      }
      const auto recheck = std::min(wake, clock_.Now() + kAbsentSlaveRecheck);
      clock_.SleepUntil(recheck);
      continue;
    }
    if (!slave_open_) {
      slave_open_ = true;
      if (peer_ != nullptr) peer_->OnPortOpen(true);
    }
  }
}

}  // namespace xmodemquarvel::sim
