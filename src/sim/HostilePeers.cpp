#include "sim/HostilePeers.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string_view>
#include <system_error>
#include <thread>

#include "platform/TelnetCodec.h"
#include "platform/UniqueFd.h"

namespace xmodemquarvel::sim {
namespace {

using namespace telnet;
using namespace std::chrono_literals;

// Sends all of `bytes` or gives up when the client is gone.
bool SendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::string Verb(std::uint8_t verb, std::uint8_t option) {
  return {static_cast<char>(kIac), static_cast<char>(verb), static_cast<char>(option)};
}

}  // namespace

std::string Junk(std::size_t size) {
  std::string out(size, 'x');
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<char>(0x20 + (i * 37) % 0x5F);
  return out;
}

struct HostileTelnetServer::Listener {
  explicit Listener(int socket) : fd(socket) {}
  UniqueFd fd;
};

HostileTelnetServer::HostileTelnetServer(Hostility hostility, std::size_t bytes_per_second)
    : hostility_(hostility),
      bytes_per_second_(bytes_per_second),
      listener_(std::make_unique<Listener>(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (!listener_->fd || ::bind(listener_->fd.Get(), reinterpret_cast<sockaddr*>(&a), len) != 0 ||
      ::listen(listener_->fd.Get(), 4) != 0 ||
      ::getsockname(listener_->fd.Get(), reinterpret_cast<sockaddr*>(&a), &len) != 0)
    throw std::system_error(errno, std::generic_category(), "hostile server");
  port_ = ntohs(a.sin_port);
  thread_ = std::thread([this] { Serve(); });
}

HostileTelnetServer::~HostileTelnetServer() {
  stop_.store(true);
  thread_.join();
}

std::string HostileTelnetServer::Device() const {
  return "rfc2217://127.0.0.1:" + std::to_string(port_);
}

void HostileTelnetServer::Serve() {
  while (!stop_.load()) {
    pollfd p{listener_->fd.Get(), POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    UniqueFd client(::accept4(listener_->fd.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (client) Misbehave(client.Get());
  }
}

void HostileTelnetServer::Misbehave(int client) {
  // The caller closes the client on return.
  if (hostility_ == Hostility::kHangsUp) return;
  // What goes out every millisecond, for the streams.
  const std::string chunk = Junk(bytes_per_second_ / 1000 + 1);
  std::string sub = Verb(kSb, kComPort);
  bool heard = false;
  bool on = true;
  char buffer[4096];
  while (!stop_.load()) {
    pollfd p{client, POLLIN, 0};
    const bool streaming = hostility_ == Hostility::kStream ||
                           hostility_ == Hostility::kEndlessSubnegotiation ||
                           hostility_ == Hostility::kNeverSettles;
    if (::poll(&p, 1, streaming ? 1 : 50) < 0 && errno != EINTR) return;
    if (p.revents & (POLLHUP | POLLERR)) return;
    if (p.revents & POLLIN) {
      const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
      if (n == 0) return;
      if (n > 0) heard = true;
    }
    std::string out;
    switch (hostility_) {
      case Hostility::kSilent:
        break;
      case Hostility::kStream:
        out = chunk;
        break;
      case Hostility::kEndlessSubnegotiation:
        // The opening once, then its bytes without end (never IAC SE).
        out = sub + chunk;
        sub.clear();
        break;
      case Hostility::kRefusesBinary:
        // Once the client has made its offers: yes to the com port option and
        // to SUPPRESS-GO-AHEAD, yes to BINARY from the client, no to BINARY
        // from itself: one way is enough to refuse the line.
        if (!heard || !on) break;
        on = false;
        out = Verb(kDo, kComPort) + Verb(kDo, kSuppressGoAhead) + Verb(kWill, kSuppressGoAhead) +
              Verb(kDo, kBinary) + Verb(kWont, kBinary);
        break;
      case Hostility::kNeverSettles:
        out = Verb(on ? kWill : kWont, kComPort) + Verb(on ? kDo : kDont, kBinary);
        on = !on;
        break;
      case Hostility::kRefusesComPort:
        // One byte at a time, as a slow server's answer comes: the client
        // reads every byte that arrives alone.
        if (!heard || !on) break;
        on = false;
        for (const char byte : Verb(kDont, kComPort)) {
          if (!SendAll(client, std::string_view(&byte, 1))) return;
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        break;
      case Hostility::kHangsUp:
        break;
    }
    if (!out.empty() && !SendAll(client, out)) {
      // A full socket: the client reads slower than we stream. Wait a little.
      pollfd w{client, POLLOUT, 0};
      ::poll(&w, 1, 10);
    }
  }
}

FloodPeer::FloodPeer(Line& line, std::size_t bytes_per_second, Clock::Duration period)
    : line_(line),
      period_(period),
      chunk_(Junk(static_cast<std::size_t>(static_cast<double>(bytes_per_second) *
                                           std::chrono::duration<double>(period).count()) +
                  1)) {}

FloodPeer::~FloodPeer() = default;

void FloodPeer::Flood(bool on) {
  if (on == on_) return;
  on_ = on;
  ++generation_;
  if (on) Tick(generation_);
}

void FloodPeer::Tick(unsigned generation) {
  if (generation != generation_) return;
  line_.SendToHost(chunk_);
  line_.After(period_, [this, alive = std::weak_ptr<bool>(alive_), generation] {
    if (!alive.expired()) Tick(generation);
  });
}

ServedRemoteLine::ServedRemoteLine() = default;

ServedRemoteLine::~ServedRemoteLine() {
  line_.Stop();
  if (thread_.joinable()) thread_.join();
}

void ServedRemoteLine::Start() {
  thread_ = std::thread([this] { line_.Run(); });
}

std::string ServedRemoteLine::Device() const {
  return "rfc2217://127.0.0.1:" + std::to_string(line_.Port());
}

}  // namespace xmodemquarvel::sim
