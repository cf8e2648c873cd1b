#include "sim/Rfc2217Line.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <vector>

#include "platform/LineSettings.h"
#include "platform/TelnetCodec.h"
#include "platform/UniqueFd.h"

namespace xmodemquarvel::sim {
namespace {

using namespace telnet;

[[noreturn]] void Fail(int err, const std::string& what) {
  throw std::system_error(err, std::generic_category(), what);
}

std::string Byte(std::uint8_t b) {
  return std::string(1, static_cast<char>(b));
}

// The addresses to listen on; "*" and an empty host are every interface.
addrinfo* Resolve(const std::string& host, const std::string& port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  const bool any = host.empty() || host == "*";
  addrinfo* found = nullptr;
  if (const int rc = ::getaddrinfo(any ? nullptr : host.c_str(), port.c_str(), &hints, &found);
      rc != 0)
    Fail(EINVAL, "adresse " + host + ":" + port + " : " + ::gai_strerror(rc));
  return found;
}

bool IsLoopback(const sockaddr* a) {
  if (a->sa_family == AF_INET)
    return (ntohl(reinterpret_cast<const sockaddr_in*>(a)->sin_addr.s_addr) >> 24) == 127;
  if (a->sa_family != AF_INET6) return false;
  const in6_addr& v6 = reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr;
  if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
  return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
}

}  // namespace

bool Rfc2217Line::LoopbackOnly(const std::string& host) {
  addrinfo* found = Resolve(host, "0");
  bool loopback = found != nullptr;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next)
    loopback = loopback && IsLoopback(a->ai_addr);
  ::freeaddrinfo(found);
  return loopback;
}

struct Rfc2217Line::Wire {
  UniqueFd listener;
  UniqueFd client;
  TelnetCodec codec{TelnetCodec::Role::kServer};
  std::vector<ComPortMessage> messages;
  LineSettings settings;
};

Rfc2217Line::Rfc2217Line(const std::string& host, const std::string& port)
    : wire_(std::make_unique<Wire>()) {
  addrinfo* found = Resolve(host, port);
  int err = EADDRNOTAVAIL;
  for (addrinfo* a = found; a != nullptr && !wire_->listener; a = a->ai_next) {
    UniqueFd fd(::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const int one = 1;
    if (fd) ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (!fd || ::bind(fd.Get(), a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd.Get(), 4) != 0) {
      err = errno;
      continue;
    }
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&bound), &len);
    port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port
                                              : reinterpret_cast<sockaddr_in&>(bound).sin_port);
    wire_->listener = std::move(fd);
  }
  ::freeaddrinfo(found);
  if (!wire_->listener) Fail(err, "écoute sur " + host + ":" + port);
}

Rfc2217Line::~Rfc2217Line() = default;

bool Rfc2217Line::ClientConnected() const {
  return static_cast<bool>(wire_->client);
}

void Rfc2217Line::Log(const std::string& text) {
  if (log) log(text);
}

void Rfc2217Line::Accept() {
  UniqueFd fd(::accept4(wire_->listener.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
  if (!fd) return;
  if (wire_->client) {
    Log("client refusé : ligne occupée");
    return;
  }
  const int one = 1;
  ::setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  wire_->client = std::move(fd);
  wire_->codec = TelnetCodec(TelnetCodec::Role::kServer);
  speaks_com_port_ = false;
  unread_.clear();
  unread_overflow_ = false;
  last_activity_ = clock_.Now();
  // Until the client sets its own, every change is notified.
  modem_mask_ = 0xFF;
  dtr_ = true;
  wire_->codec.Start();
  Flush();
  Log("client : connecté");
  if (peer_ != nullptr) peer_->OnPortOpen(true);
}

void Rfc2217Line::EndClient(const std::string& why) {
  if (!wire_->client) return;
  wire_->client.Reset();
  unread_.clear();
  Log("client : " + why);
  if (peer_ != nullptr) peer_->OnPortOpen(false);
}

void Rfc2217Line::Flush() {
  std::string& out = wire_->codec.Outgoing();
  if (wire_->client && !unread_overflow_) unread_.append(out);
  out.clear();
  WriteQueued();
}

// As much as the socket takes now; the rest waits for the loop to find room.
// A client that lets too much wait is dropped by the loop, not from here:
// this may run inside the modem's or the server's own call.
void Rfc2217Line::WriteQueued() {
  std::size_t done = 0;
  while (wire_->client && done < unread_.size()) {
    const ssize_t n =
        ::send(wire_->client.Get(), unread_.data() + done, unread_.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      last_activity_ = clock_.Now();
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      // EAGAIN: later. A failed socket: its end shows on the next read.
      if (n < 0 && errno != EAGAIN) done = unread_.size();
      break;
    }
  }
  unread_.erase(0, done);
  if (unread_.size() > kMostUnread) {
    unread_overflow_ = true;
    unread_.clear();
  }
}

void Rfc2217Line::SendToHost(std::string_view bytes) {
  if (!wire_->client) return;
  wire_->codec.SendData(bytes);
  Flush();
}

// The state ANDed with the client's mask goes out when it is not zero, or
// when the client asked for it by setting the mask (`deltas` 0).
void Rfc2217Line::Notify(std::uint8_t deltas) {
  if (!wire_->client || !speaks_com_port_) return;
  const auto masked = static_cast<std::uint8_t>(ModemState(deltas) & modem_mask_);
  if (deltas != 0 && masked == 0) return;
  wire_->codec.SendComPort(kNotifyModemState + kServerOffset, Byte(masked));
  Flush();
}

std::uint8_t Rfc2217Line::ModemState(std::uint8_t deltas) const {
  return static_cast<std::uint8_t>((cd_ ? kCd : 0) | (cts_ ? kCts : 0) | deltas);
}

// Changes made together (CTS and CD dropping as a call ends) go out as one
// notification on the next pass of the loop, as a server that watches its
// lines tells them; a cut made meanwhile leaves only the end of the
// connection.
void Rfc2217Line::SetCts(bool on) {
  if (on != cts_) deltas_ |= kDeltaCts;
  cts_ = on;
  if (!cts_ && !cd_) return Cut();
  ScheduleNotify();
}

void Rfc2217Line::SetCd(bool on) {
  if (on != cd_) deltas_ |= kDeltaCd;
  cd_ = on;
  if (!cts_ && !cd_) return Cut();
  ScheduleNotify();
}

void Rfc2217Line::ScheduleNotify() {
  if (deltas_ == 0 || notify_scheduled_) return;
  notify_scheduled_ = true;
  After(Clock::Duration::zero(), [this] {
    notify_scheduled_ = false;
    Notify(std::exchange(deltas_, 0));
  });
}

void Rfc2217Line::Cut() {
  // The peer, told that the port closed, may drop CD itself: one cut only.
  if (cutting_) return;
  cutting_ = true;
  if (wire_->client) Log("coupure de la connexion");
  EndClient("déconnecté par la coupure");
  timers_.Clear();
  notify_scheduled_ = false;
  deltas_ = 0;
  cts_ = true;
  cutting_ = false;
}

void Rfc2217Line::After(Clock::Duration delay, std::function<void()> action) {
  timers_.After(delay, std::move(action));
}

void Rfc2217Line::Reply(std::uint8_t command, std::string_view value) {
  wire_->codec.SendComPort(command + kServerOffset, value);
}

void Rfc2217Line::OnCommand(const ComPortMessage& m) {
  const std::uint8_t v = m.value.empty() ? 0 : static_cast<std::uint8_t>(m.value[0]);
  const LineSettings before = wire_->settings;
  // These commands carry one byte, as a real terminal server expects: any
  // other length is logged and left unanswered, so that a client's mistake
  // shows here rather than on a stricter server.
  const bool one_byte = m.command == kSetDataSize || m.command == kSetParity ||
                        m.command == kSetStopSize || m.command == kSetControl ||
                        m.command == kSetModemStateMask || m.command == kPurgeData;
  if (one_byte && m.value.size() != 1) {
    Log("client : commande " + std::to_string(m.command) + " de " + std::to_string(m.value.size()) +
        " octets au lieu d'un, sans réponse");
    return;
  }
  switch (m.command) {
    case kSetBaudRate: {
      if (m.value.size() == 4) {
        std::uint32_t baud = 0;
        for (char c : m.value) baud = baud << 8 | static_cast<std::uint8_t>(c);
        if (baud != 0) wire_->settings.baud = static_cast<int32_t>(baud);
      }
      const auto b = static_cast<std::uint32_t>(wire_->settings.baud);
      const char rate[4] = {static_cast<char>(b >> 24), static_cast<char>(b >> 16),
                            static_cast<char>(b >> 8), static_cast<char>(b)};
      Reply(m.command, std::string_view(rate, 4));
      break;
    }
    case kSetDataSize:
      if (v >= 5 && v <= 8) wire_->settings.data_bits = v;
      Reply(m.command, Byte(static_cast<std::uint8_t>(wire_->settings.data_bits)));
      break;
    case kSetParity:
      if (v >= 1 && v <= 5) wire_->settings.parity = "NOEMS"[v - 1];
      Reply(m.command, Byte(static_cast<std::uint8_t>(
                           std::string_view("NOEMS").find(wire_->settings.parity) + 1)));
      break;
    case kSetStopSize:
      if (v >= 1 && v <= 3) wire_->settings.stop_halves = v == 1 ? 2 : v == 2 ? 4 : 3;
      Reply(m.command, Byte(wire_->settings.stop_halves == 2   ? 1
                            : wire_->settings.stop_halves == 4 ? 2
                                                               : 3));
      break;
    case kSetControl:
      if (v == kDtrOn || v == kDtrOff) {
        dtr_ = v == kDtrOn;
        Log(dtr_ ? "client : DTR levé" : "client : DTR baissé");
        if (peer_ != nullptr) peer_->OnDtr(dtr_);
      } else if (v == kBreakOn || v == kBreakOff) {
        Log(v == kBreakOn ? "client : break" : "client : fin du break");
      }
      // A request for the DTR state (7) is answered with that state.
      Reply(m.command, Byte(v == 7 ? (dtr_ ? kDtrOn : kDtrOff) : v));
      break;
    case kSetModemStateMask:
      modem_mask_ = v;
      Reply(m.command, Byte(v));
      Flush();
      Notify(0);
      break;
    case kPurgeData:
      Reply(m.command, Byte(v));
      break;
    case kNotifyModemState:
      // A client that polls asks with an empty notification.
      Reply(m.command, Byte(ModemState(0)));
      break;
    default:
      // Masks, signature, flow suspension: taken, answered where a client
      // waits for it.
      if (m.command == 0 && m.value.empty()) Reply(0, "xmodemq simulateur");
      if (m.command == 10) Reply(m.command, Byte(v));
      break;
  }
  Flush();
  if (wire_->settings.ToString() != before.ToString())
    Log("client : paramètres " + wire_->settings.ToString());
}

// Byte by byte, so that data and commands reach the peer in the order the
// client sent them: data written just before a drop of DTR is heard before
// the hang-up.
void Rfc2217Line::OnClientBytes(std::string_view bytes) {
  last_activity_ = clock_.Now();
  data_.clear();
  const auto deliver = [this] {
    if (!data_.empty() && peer_ != nullptr && wire_->client) peer_->OnHostBytes(data_);
    data_.clear();
  };
  for (std::size_t i = 0; i < bytes.size() && wire_->client; ++i) {
    wire_->codec.Receive(bytes.substr(i, 1), data_, wire_->messages);
    // The modem lines as they are, once the client can hear of them.
    if (!speaks_com_port_ && (wire_->codec.ComPortAgreed() || !wire_->messages.empty())) {
      speaks_com_port_ = true;
      Notify(0);
    }
    if (!wire_->codec.Outgoing().empty()) Flush();
    if (wire_->messages.empty()) continue;
    deliver();
    for (const auto& message : wire_->messages) OnCommand(message);
    wire_->messages.clear();
  }
  deliver();
}

void Rfc2217Line::Run(Clock::TimePoint until) {
  char buffer[4096];
  while (!stop_.load()) {
    if (clock_.Now() >= until) return;
    const auto wake = timers_.RunDue(until);
    if (wire_->client && unread_overflow_)
      EndClient("ne lit pas ce qui lui est envoyé : déconnecté");
    if (wire_->client && idle_timeout_ > Clock::Duration::zero() &&
        clock_.Now() - last_activity_ >= idle_timeout_) {
      const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(idle_timeout_).count();
      EndClient("rien reçu ni envoyé depuis " + std::to_string(seconds) + " s : déconnecté");
    }
    const short out = unread_.empty() ? 0 : POLLOUT;
    pollfd p[2] = {{wire_->listener.Get(), POLLIN, 0},
                   {wire_->client ? wire_->client.Get() : -1, static_cast<short>(POLLIN | out), 0}};
    const int r = ::poll(p, 2, timers_.MillisecondsTo(wake));
    if (r < 0) {
      if (errno == EINTR) continue;
      Fail(errno, "poll");
    }
    if (r == 0) continue;
    if ((p[1].revents & POLLOUT) && wire_->client) WriteQueued();
    if ((p[1].revents & ~POLLOUT) != 0 && wire_->client) {
      const ssize_t n = ::recv(wire_->client.Get(), buffer, sizeof buffer, 0);
      if (n > 0) {
        OnClientBytes(std::string_view(buffer, static_cast<std::size_t>(n)));
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        EndClient("déconnecté");
      }
    }
    if (p[0].revents & POLLIN) Accept();
  }
}

}  // namespace xmodemquarvel::sim
