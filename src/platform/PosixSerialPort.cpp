#include "platform/PosixSerialPort.h"

#include "platform/PortRules.h"
#include "platform/WriteAll.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace xmodemquarvel {
SerialPort::~SerialPort() = default;

PosixSerialPort::PosixSerialPort() = default;

PosixSerialPort::~PosixSerialPort() {
  if (fd_) Close();
}

void PosixSerialPort::CommPort(int32_t port) {
  RefuseSelectionWhileOpen(static_cast<bool>(fd_));
  RefuseBadPortNumber(port);
  port_ = port;
  device_ = "/dev/ttyS" + std::to_string(port - 1);
}

void PosixSerialPort::Device(const std::string& path) {
  RefuseSelectionWhileOpen(static_cast<bool>(fd_));
  RefuseEmptyDevice(path);
  device_ = path;
}

void PosixSerialPort::Settings(const std::string& text) {
  const LineSettings parsed = ParseSettingsOrRefuse(text);
  if (fd_) ApplySettings(parsed);
  settings_ = parsed;
}

void PosixSerialPort::PortOpen(bool open) {
  if (open) {
    if (fd_) FailPort(EBUSY, "Le port " + device_ + " est déjà ouvert");
    Open();
  } else if (fd_) {
    Close();
  }
}

void PosixSerialPort::Open() {
  UniqueFd fd(::open(device_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) {
    const int err = errno;
    switch (err) {
      case ENOENT:
      case ENXIO:
      case ENODEV:
        FailPort(err, "Le port " + device_ + " n'existe pas");
      case EACCES:
      case EPERM:
        FailPort(err, "Accès refusé au port " + device_ + " (groupe dialout ?)");
      case EBUSY:
        FailPort(err, "Le port " + device_ + " est déjà utilisé");
      default:
        FailPort(err, "Impossible d'ouvrir le port " + device_ + " : " + std::strerror(err));
    }
  }
  if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    if (err == EWOULDBLOCK) FailPort(err, "Le port " + device_ + " est déjà utilisé");
    FailPort(err, "Impossible de verrouiller le port " + device_ + " : " + std::strerror(err));
  }
  termios saved{};
  if (::tcgetattr(fd.Get(), &saved) != 0) FailPort(errno, device_ + " n'est pas un port série");
  // Other openers are refused from here on, root excepted (flock still holds).
  ::ioctl(fd.Get(), TIOCEXCL);

  int lines = 0;
  const bool has_lines = ::ioctl(fd.Get(), TIOCMGET, &lines) == 0;
  if (!has_lines && errno != ENOTTY && errno != EINVAL)
    FailPort(errno, "Impossible de lire les lignes du modem sur " + device_);

  fd_ = std::move(fd);
  saved_ = saved;
  has_modem_lines_ = has_lines;
  hung_up_ = false;
  head_ = tail_ = 0;
  try {
    ApplySettings(settings_);
    ApplyDtr();
    if (break_) ::ioctl(fd_.Get(), TIOCSBRK);
  } catch (...) {
    Close();
    throw;
  }
}

void PosixSerialPort::Close() {
  ::ioctl(fd_.Get(), TIOCNXCL);
  // No flow control, so restoring at once cannot block on unsent output.
  ::tcsetattr(fd_.Get(), TCSANOW, &saved_);
  fd_.Reset();
  head_ = tail_ = 0;
  hung_up_ = false;
}

void PosixSerialPort::ApplySettings(const LineSettings& s) {
  termios t{};
  if (::tcgetattr(fd_.Get(), &t) != 0)
    FailPort(errno, "Impossible de lire les paramètres de " + device_);
  ::cfmakeraw(&t);
  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | ISTRIP);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  t.c_cflag |= CLOCAL | CREAD | HUPCL;
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  t.c_cflag |= kSizes[s.data_bits - 5];
  switch (s.parity) {
    case 'E':
      t.c_cflag |= PARENB;
      break;
    case 'O':
      t.c_cflag |= PARENB | PARODD;
      break;
    case 'M':
      t.c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case 'S':
      t.c_cflag |= PARENB | CMSPAR;
      break;
    default:
      break;
  }
  // With five data bits the UART frames CSTOPB as one and a half stop bits.
  if (s.stop_halves > 2) t.c_cflag |= CSTOPB;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  const speed_t speed = TermiosSpeed(s.baud);
  if (::cfsetispeed(&t, speed) != 0 || ::cfsetospeed(&t, speed) != 0)
    FailPort(EINVAL, "Vitesse non prise en charge : " + std::to_string(s.baud));
  if (::tcsetattr(fd_.Get(), TCSANOW, &t) != 0)
    FailPort(errno, "Paramètres refusés par " + device_ + " : " + s.ToString());
  // tcsetattr succeeds when any one change took: check that the speed did.
  termios check{};
  if (::tcgetattr(fd_.Get(), &check) != 0 || ::cfgetospeed(&check) != speed)
    FailPort(EINVAL, "Vitesse non prise en charge par " + device_ + " : " + std::to_string(s.baud));
}

void PosixSerialPort::ApplyDtr() {
  if (!fd_ || !has_modem_lines_) return;
  int bit = TIOCM_DTR;
  if (::ioctl(fd_.Get(), dtr_ ? TIOCMBIS : TIOCMBIC, &bit) != 0 && errno != ENOTTY &&
      errno != EINVAL && errno != EIO)
    FailPort(errno, "Impossible de changer DTR sur " + device_);
}

void PosixSerialPort::Break(bool on) {
  break_ = on;
  if (fd_) ::ioctl(fd_.Get(), on ? TIOCSBRK : TIOCCBRK);
}

void PosixSerialPort::RequireOpen() const {
  RefuseUnlessOpen(static_cast<bool>(fd_));
}

void PosixSerialPort::Fill() {
  if (hung_up_) return;
  if (head_ == tail_) head_ = tail_ = 0;
  if (tail_ == buffer_.size() && head_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + head_, tail_ - head_);
    tail_ -= head_;
    head_ = 0;
  }
  while (tail_ < buffer_.size()) {
    const ssize_t n = ::read(fd_.Get(), buffer_.data() + tail_, buffer_.size() - tail_);
    if (n > 0) {
      tail_ += static_cast<std::size_t>(n);
      continue;
    }
    // With VMIN and VTIME at 0 a quiet line reads 0 bytes: not an end of file.
    // A vanished device shows as EIO or POLLHUP instead.
    if (n == 0) {
      return;
    } else if (errno == EINTR) {
      continue;
    } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
      LoseLine();
    }
    return;
  }
}

int32_t PosixSerialPort::InBufferCount() {
  RequireOpen();
  // A system call only when the buffer has run dry.
  if (head_ == tail_) Fill();
  return static_cast<int32_t>(tail_ - head_);
}

void PosixSerialPort::InBufferCount(int32_t count) {
  RequireOpen();
  if (count != 0) FailPort(EINVAL, "Seule la valeur 0 vide le tampon de réception");
  ::tcflush(fd_.Get(), TCIFLUSH);
  head_ = tail_ = 0;
}

std::string PosixSerialPort::Input() {
  RequireOpen();
  if (head_ == tail_) Fill();
  std::size_t n = tail_ - head_;
  if (input_len_ > 0) n = std::min<std::size_t>(n, static_cast<std::size_t>(input_len_));
  std::string out(buffer_.data() + head_, n);
  head_ += n;
  return out;
}

void PosixSerialPort::Output(std::string_view bytes) {
  RequireOpen();
  if (hung_up_) return;
  bool stalled = false;
  std::size_t written = 0;
  // The line drains at its own speed; without flow control it always does,
  // and a device that takes nothing for kWriteStall is stuck.
  const int err = WriteAll(fd_.Get(), bytes, written, [&] {
    const int revents = WaitToWrite();
    if (revents < 0) {
      stalled = true;
      return false;
    }
    if (revents & (POLLHUP | POLLERR)) {
      LoseLine();
      return false;
    }
    return true;
  });
  if (err == 0 || hung_up_) return;
  if (stalled) FailPort(ETIMEDOUT, "Écriture impossible sur " + device_ + " : délai dépassé");
  // A vanished device: what was to be written is discarded.
  if (err == EIO || err == ENXIO) {
    LoseLine();
    return;
  }
  FailPort(err, "Écriture impossible sur " + device_);
}

void PosixSerialPort::DTREnable(bool on) {
  dtr_ = on;
  ApplyDtr();
}

bool PosixSerialPort::ModemLine(int bit) {
  RequireOpen();
  if (hung_up_) return false;
  if (!has_modem_lines_) {
    // Nothing to read but the hang-up of the far end.
    pollfd p{fd_.Get(), POLLIN, 0};
    if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
      if (head_ == tail_) Fill();
      if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) LoseLine();
    }
    return !hung_up_;
  }
  int lines = 0;
  if (::ioctl(fd_.Get(), TIOCMGET, &lines) != 0) {
    if (errno == EIO || errno == ENXIO) LoseLine();
    return false;
  }
  return (lines & bit) != 0;
}

bool PosixSerialPort::CTSHolding() {
  return ModemLine(TIOCM_CTS);
}
bool PosixSerialPort::CDHolding() {
  return ModemLine(TIOCM_CAR);
}

int PosixSerialPort::WaitToWrite() {
  const auto deadline = wait_->WaitClock().Now() + kWriteStall;
  for (;;) {
    const int revents = wait_->Pass(fd_.Get(), POLLOUT, deadline);
    if (revents != 0) return revents;
  }
}

}  // namespace xmodemquarvel
