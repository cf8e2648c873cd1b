#include "platform/Rfc2217SerialPort.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/PortRules.h"
#include "platform/Resolver.h"
#include "platform/WriteAll.h"

namespace xmodemquarvel {
namespace {

using namespace telnet;

constexpr std::size_t kBuffer = 8192;
constexpr std::size_t kMostPending = 16;
constexpr std::uint8_t kModemStateMask = kCd | kCts | kDeltaCd | kDeltaCts;

// SET-CONTROL values come in groups (outbound flow control, break, DTR, RTS,
// inbound flow control); the server confirms a value by one of its group.
int ControlGroup(std::uint8_t value) {
  return value <= 3 ? 0 : value <= 6 ? 1 : value <= 9 ? 2 : value <= 12 ? 3 : 4;
}

std::string ControlName(std::uint8_t command, std::uint8_t value) {
  switch (command) {
    case kSetBaudRate:
      return "SET-BAUDRATE";
    case kSetDataSize:
      return "SET-DATASIZE";
    case kSetParity:
      return "SET-PARITY";
    case kSetStopSize:
      return "SET-STOPSIZE";
    case kSetModemStateMask:
      return "SET-MODEMSTATE-MASK";
    case kPurgeData:
      return "PURGE-DATA";
    default:
      break;
  }
  switch (value) {
    case kDtrOn:
      return "SET-CONTROL DTR ON";
    case kDtrOff:
      return "SET-CONTROL DTR OFF";
    case kBreakOn:
      return "SET-CONTROL BREAK ON";
    case kBreakOff:
      return "SET-CONTROL BREAK OFF";
    default:
      return "SET-CONTROL " + std::to_string(value);
  }
}

}  // namespace

std::optional<RemoteAddress> RemoteAddress::Parse(std::string_view device) {
  if (!IsRemote(device)) return std::nullopt;
  std::string_view rest = device.substr(kScheme.size());
  RemoteAddress address;
  if (const auto query = rest.find('?'); query != std::string_view::npos) {
    if (rest.substr(query + 1) != "nomodemlines") return std::nullopt;
    address.no_modem_lines = true;
    rest = rest.substr(0, query);
  }
  std::size_t colon;
  if (!rest.empty() && rest.front() == '[') {
    const auto close = rest.find(']');
    if (close == std::string_view::npos || close + 1 >= rest.size() || rest[close + 1] != ':')
      return std::nullopt;
    address.host = std::string(rest.substr(1, close - 1));
    colon = close + 1;
  } else {
    colon = rest.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    address.host = std::string(rest.substr(0, colon));
    if (address.host.find(':') != std::string::npos) return std::nullopt;
  }
  address.port = std::string(rest.substr(colon + 1));
  if (address.host.empty() || address.port.empty() || address.port.size() > 5 ||
      !std::all_of(address.port.begin(), address.port.end(),
                   [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  const int number = std::stoi(address.port);
  if (number < 1 || number > 65535) return std::nullopt;
  return address;
}

std::string RemoteAddress::HostPort() const {
  return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + port;
}

Rfc2217SerialPort::~Rfc2217SerialPort() {
  // No note from here: whoever listens may already be gone.
  if (fd_) Close(false);
}

void Rfc2217SerialPort::CommPort(int32_t) {
  RefuseSelectionWhileOpen(static_cast<bool>(fd_));
  FailPort(EINVAL, "Une ligne distante n'a pas de numéro de port");
}

void Rfc2217SerialPort::Device(const std::string& path) {
  RefuseSelectionWhileOpen(static_cast<bool>(fd_));
  const auto parsed = RemoteAddress::Parse(path);
  if (!parsed)
    FailPort(EINVAL, "Adresse de ligne distante invalide : " + path +
                         " (attendu rfc2217://hôte:port ou rfc2217://hôte:port?nomodemlines)");
  device_ = path;
  address_ = *parsed;
}

void Rfc2217SerialPort::Settings(const std::string& text) {
  settings_ = ParseSettingsOrRefuse(text);
  if (fd_ && !hung_up_) SendSettings();
}

void Rfc2217SerialPort::Refuse(int err, const std::string& message) {
  fd_.Reset();
  negotiating_ = false;
  FailPort(err, message);
}

void Rfc2217SerialPort::PortOpen(bool open) {
  if (!open) {
    if (fd_) Close(true);
    return;
  }
  if (fd_) FailPort(EBUSY, "Le port " + device_ + " est déjà ouvert");
  if (device_.empty()) FailPort(EINVAL, "Aucune ligne distante choisie");
  codec_ = telnet::TelnetCodec(telnet::TelnetCodec::Role::kClient);
  hung_up_ = false;
  modem_state_known_ = false;
  modem_state_ = 0;
  rx_.clear();
  head_ = 0;
  pending_.clear();
  negotiating_ = true;
  try {
    Open(Now() + kNegotiationTime);
  } catch (...) {
    // Refused, failed or aborted half-way: the port stays closed.
    fd_.Reset();
    negotiating_ = false;
    throw;
  }
  negotiating_ = false;
}

void Rfc2217SerialPort::Open(Clock::TimePoint deadline) {
  const AddressList found = ResolveTcp(address_.host, address_.port, *wait_, deadline);
  Connect(found.get(), deadline);
  Negotiate(deadline);
}

void Rfc2217SerialPort::Connect(const addrinfo* found, Clock::TimePoint deadline) {
  const std::string where = address_.HostPort();
  int err = ETIMEDOUT;
  for (const addrinfo* a = found; a != nullptr && !fd_; a = a->ai_next) {
    UniqueFd fd(
        ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
    if (!fd) {
      err = errno;
      continue;
    }
    if (::connect(fd.Get(), a->ai_addr, a->ai_addrlen) != 0) {
      if (errno != EINPROGRESS) {
        err = errno;
        continue;
      }
      if (!wait_->Until(fd.Get(), POLLOUT, deadline)) {
        err = ETIMEDOUT;
        continue;
      }
      socklen_t len = sizeof err;
      if (::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) continue;
    }
    // Frames and their answers are small and go one at a time: no delay.
    const int one = 1;
    ::setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    fd_ = std::move(fd);
  }
  if (fd_) return;
  if (err == ECONNREFUSED) FailPort(err, "Connexion refusée par " + where);
  if (err == ETIMEDOUT) FailPort(err, where + " ne répond pas");
  FailPort(err, "Connexion impossible à " + where + " : " + std::strerror(err));
}

void Rfc2217SerialPort::Negotiate(Clock::TimePoint deadline) {
  const std::string where = address_.HostPort();
  const std::string seconds = std::to_string(kNegotiationTime.count());
  codec_.Start();
  Flush();
  // The line carries every byte value only in BINARY, both ways.
  const auto agreed = [this] {
    return codec_.ComPortAgreed() && codec_.Local(kBinary) && codec_.Remote(kBinary);
  };
  while (!agreed()) {
    if (codec_.Overrun()) Refuse(EPROTO, where + " envoie une sous-négociation Telnet sans fin");
    if (hung_up_) Refuse(ECONNRESET, where + " a fermé la connexion (ligne occupée ?)");
    if (codec_.ComPortRefused())
      Refuse(EPROTONOSUPPORT, where + " refuse le contrôle de la ligne série (RFC 2217)");
    if (codec_.Refused(kBinary))
      Refuse(EPROTONOSUPPORT, where + " refuse le mode binaire de Telnet : les octets de la " +
                                  "ligne n'y passeraient pas tels quels");
    if (!AwaitInput(deadline)) {
      if (codec_.ComPortAgreed())
        Refuse(ETIMEDOUT,
               where + " n'a pas accepté le mode binaire de Telnet en " + seconds + " s");
      Refuse(ETIMEDOUT, where + " n'a pas accepté le contrôle de la ligne série (RFC 2217) en " +
                            seconds + " s");
    }
  }
  SendSettings();
  SendControl(kNoFlowControl);
  SendControl(break_ ? kBreakOn : kBreakOff);
  SendControl(dtr_ ? kDtrOn : kDtrOff);
  // A server that serves the line confirms the speed; one that turns the
  // client away (the line is in use) closes the connection instead.
  const auto confirmed = [this] {
    return std::none_of(pending_.begin(), pending_.end(),
                        [](const Pending& p) { return p.command == kSetBaudRate; });
  };
  while (!confirmed() && !hung_up_ && !codec_.Overrun() && AwaitInput(deadline)) {
  }
  if (codec_.Overrun()) Refuse(EPROTO, where + " envoie une sous-négociation Telnet sans fin");
  if (hung_up_) Refuse(EBUSY, where + " a fermé la connexion (ligne occupée ?)");
  if (address_.no_modem_lines) return;
  // CTS is read as soon as the port is open: wait for the first notification.
  SendCommand(kSetModemStateMask, std::string(1, static_cast<char>(kModemStateMask)));
  while (!modem_state_known_ && !hung_up_) {
    if (codec_.Overrun()) Refuse(EPROTO, where + " envoie une sous-négociation Telnet sans fin");
    if (!AwaitInput(deadline)) {
      Note("Ligne distante " + where + " : pas d'état des lignes du modem après " + seconds +
           " s ; CTS et CD tenus pour absents (?nomodemlines si la ligne n'en a pas)");
      return;
    }
  }
}

bool Rfc2217SerialPort::AwaitInput(Clock::TimePoint deadline) {
  const int revents = wait_->Pass(fd_.Get(), POLLIN, deadline);
  if (revents < 0) return false;
  // Data before the line is open is nobody's: it is dropped, so that a server
  // that streams it can neither fill the buffer nor hold the negotiation.
  if (revents != 0) Fill(false);
  return true;
}

void Rfc2217SerialPort::Close(bool tell) {
  if (tell && !hung_up_) {
    // Confirmations that came in meanwhile count.
    Fill(false);
    CheckPending(true);
  }
  fd_.Reset();
  rx_.clear();
  head_ = 0;
  pending_.clear();
  hung_up_ = false;
}

void Rfc2217SerialPort::SendSettings() {
  const auto baud = static_cast<std::uint32_t>(settings_.baud);
  const char rate[4] = {static_cast<char>(baud >> 24), static_cast<char>(baud >> 16),
                        static_cast<char>(baud >> 8), static_cast<char>(baud)};
  static constexpr std::string_view kParities = "NOEMS";
  const auto parity = static_cast<char>(kParities.find(settings_.parity) + 1);
  // Stop bits: 1 for one, 2 for two, 3 for one and a half.
  const char stop = settings_.stop_halves == 2 ? 1 : settings_.stop_halves == 4 ? 2 : 3;
  SendCommand(kSetBaudRate, std::string_view(rate, 4));
  SendCommand(kSetDataSize, std::string(1, static_cast<char>(settings_.data_bits)));
  SendCommand(kSetParity, std::string(1, parity));
  SendCommand(kSetStopSize, std::string(1, stop));
}

void Rfc2217SerialPort::SendControl(std::uint8_t value) {
  SendCommand(kSetControl, std::string(1, static_cast<char>(value)));
}

void Rfc2217SerialPort::SendCommand(std::uint8_t command, std::string_view value) {
  codec_.SendComPort(command, value);
  Flush();
  if (pending_.size() == kMostPending) pending_.pop_front();
  pending_.push_back(
      {command, value.empty() ? std::uint8_t{0} : std::uint8_t(value[0]), Now() + kConfirmTime});
}

void Rfc2217SerialPort::Flush() {
  std::string& out = codec_.Outgoing();
  if (hung_up_) {
    out.clear();
    return;
  }
  std::size_t done = 0;
  // What went out is never sent twice, even when a wait ends the operation.
  struct Sent {
    std::string& out;
    std::size_t& done;
    ~Sent() { out.erase(0, std::min(done, out.size())); }
  } sent{out, done};
  // The server takes what the line drains; a server that takes nothing for
  // kWriteStall is as good as gone. The stall counts from the last byte taken.
  std::size_t done_at_stall = out.size() + 1;
  Clock::TimePoint stalled_until{};
  const int err = WriteAll(
      fd_.Get(), out, done,
      [&] {
        if (done != done_at_stall) {
          done_at_stall = done;
          stalled_until = Now() + kWriteStall;
        }
        return wait_->Pass(fd_.Get(), POLLOUT, stalled_until) >= 0;
      },
      /*socket=*/true);
  if (err == EAGAIN) {
    LoseLine("écriture bloquée depuis " + std::to_string(kWriteStall.count()) + " s");
  } else if (err != 0) {
    LoseLine(err);
  }
  if (hung_up_) done = out.size();
}

void Rfc2217SerialPort::Fill(bool keep) {
  if (hung_up_) return;
  if (head_ == rx_.size()) {
    rx_.clear();
    head_ = 0;
  } else if (head_ > 0 && rx_.size() > kBuffer / 2) {
    rx_.erase(0, head_);
    head_ = 0;
  }
  char chunk[4096];
  // Decoded data is never longer than what was read, and one call reads at
  // most kBuffer bytes: the buffer stays bounded, and a stream of Telnet
  // commands that decode to nothing cannot keep the caller here.
  std::size_t budget = kBuffer;
  while (rx_.size() < kBuffer && budget > 0) {
    const std::size_t room = std::min({sizeof chunk, kBuffer - rx_.size(), budget});
    const ssize_t n = ::recv(fd_.Get(), chunk, room, 0);
    if (n > 0) {
      budget -= static_cast<std::size_t>(n);
      const std::size_t before = rx_.size();
      codec_.Receive(std::string_view(chunk, static_cast<std::size_t>(n)), rx_, messages_);
      if (!keep) rx_.resize(before);
      for (const auto& message : messages_) OnMessage(message);
      messages_.clear();
      if (codec_.Overrun() && !negotiating_) {
        LoseLine("sous-négociation Telnet sans fin");
        break;
      }
      if (!codec_.Outgoing().empty()) Flush();
      if (static_cast<std::size_t>(n) < room) break;
      continue;
    }
    if (n == 0) {
      LoseLine("connexion fermée par le serveur");
    } else if (errno == EINTR) {
      continue;
    } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
      LoseLine(errno);
    }
    break;
  }
  CheckPending(false);
}

void Rfc2217SerialPort::OnMessage(const ComPortMessage& message) {
  if (message.command < kServerOffset) return;
  const std::uint8_t command = message.command - kServerOffset;
  const std::uint8_t value = message.value.empty() ? 0 : std::uint8_t(message.value[0]);
  if (command == kNotifyModemState) {
    modem_state_ = value;
    modem_state_known_ = true;
    // Some servers answer the mask with the state itself.
    const auto mask = std::find_if(pending_.begin(), pending_.end(), [](const Pending& p) {
      return p.command == kSetModemStateMask;
    });
    if (mask != pending_.end()) pending_.erase(mask);
    return;
  }
  const auto match = std::find_if(pending_.begin(), pending_.end(), [&](const Pending& p) {
    return p.command == command &&
           (command != kSetControl || ControlGroup(p.value) == ControlGroup(value));
  });
  if (match != pending_.end()) pending_.erase(match);
}

void Rfc2217SerialPort::CheckPending(bool all) {
  const auto now = Now();
  while (!pending_.empty() && (all || pending_.front().deadline <= now)) {
    const Pending p = pending_.front();
    pending_.pop_front();
    Note("Ligne distante " + address_.HostPort() + " : " + ControlName(p.command, p.value) +
         " non confirmé par le serveur");
  }
}

void Rfc2217SerialPort::LoseLine(int err) {
  LoseLine(err == ECONNRESET || err == EPIPE ? "connexion coupée par le serveur"
           : err == ETIMEDOUT || err == EHOSTUNREACH || err == ENETUNREACH
               ? "le serveur ne répond plus"
               : std::string("erreur réseau : ") + std::strerror(err));
}

void Rfc2217SerialPort::LoseLine(const std::string& why) {
  if (hung_up_) return;
  hung_up_ = true;
  // A refused opening says why in its own message.
  if (!negotiating_) Note("Ligne distante " + address_.HostPort() + " perdue : " + why);
}

void Rfc2217SerialPort::Note(const std::string& text) {
  if (note) note(text);
}

void Rfc2217SerialPort::Break(bool on) {
  break_ = on;
  if (fd_ && !hung_up_) SendControl(on ? kBreakOn : kBreakOff);
}

void Rfc2217SerialPort::DTREnable(bool on) {
  dtr_ = on;
  if (fd_ && !hung_up_) SendControl(on ? kDtrOn : kDtrOff);
}

int32_t Rfc2217SerialPort::InBufferCount() {
  RefuseUnlessOpen(static_cast<bool>(fd_));
  if (head_ == rx_.size()) Fill();
  return static_cast<int32_t>(rx_.size() - head_);
}

void Rfc2217SerialPort::InBufferCount(int32_t count) {
  RefuseUnlessOpen(static_cast<bool>(fd_));
  if (count != 0) FailPort(EINVAL, "Seule la valeur 0 vide le tampon de réception");
  rx_.clear();
  head_ = 0;
  Fill(false);
  if (!hung_up_) SendCommand(kPurgeData, std::string(1, static_cast<char>(kPurgeReceived)));
}

std::string Rfc2217SerialPort::Input() {
  RefuseUnlessOpen(static_cast<bool>(fd_));
  if (head_ == rx_.size()) Fill();
  std::size_t n = rx_.size() - head_;
  if (input_len_ > 0) n = std::min<std::size_t>(n, static_cast<std::size_t>(input_len_));
  std::string out = rx_.substr(head_, n);
  head_ += n;
  return out;
}

void Rfc2217SerialPort::Output(std::string_view bytes) {
  RefuseUnlessOpen(static_cast<bool>(fd_));
  if (hung_up_) return;
  codec_.SendData(bytes);
  Flush();
}

bool Rfc2217SerialPort::ModemLine(std::uint8_t bit) {
  RefuseUnlessOpen(static_cast<bool>(fd_));
  if (address_.no_modem_lines) return !hung_up_;
  // While a line is low, both are read afresh: a later notification, or the
  // end of the connection, may be waiting behind the one that lowered it.
  if ((modem_state_ & (kCts | kCd)) != (kCts | kCd)) Fill();
  return !hung_up_ && (modem_state_ & bit) != 0;
}

bool Rfc2217SerialPort::CTSHolding() {
  return ModemLine(kCts);
}

bool Rfc2217SerialPort::CDHolding() {
  return ModemLine(kCd);
}

}  // namespace xmodemquarvel
