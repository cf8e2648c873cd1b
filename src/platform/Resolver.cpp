#include "platform/Resolver.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/PortRules.h"
#include "platform/UniqueFd.h"

namespace xmodemquarvel {
namespace {

// What the resolving thread leaves for the caller; shared, so that a caller
// who stopped waiting leaves it to the thread.
struct Lookup {
  UniqueFd done{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
  std::atomic<bool> finished{false};
  int rc = 0;
  addrinfo* found = nullptr;
  ~Lookup() {
    if (found != nullptr) ::freeaddrinfo(found);
  }
};

addrinfo Hints(int flags) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = flags;
  return hints;
}

}  // namespace

AddressList ResolveTcp(const std::string& host, const std::string& port, PortWait& wait,
                       Clock::TimePoint deadline) {
  const addrinfo numeric = Hints(AI_NUMERICHOST | AI_NUMERICSERV);
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), port.c_str(), &numeric, &found) == 0)
    return AddressList(found, ::freeaddrinfo);

  auto lookup = std::make_shared<Lookup>();
  if (!lookup->done) FailPort(errno, "Résolution de " + host + " impossible");
  try {
    std::thread([lookup, host, port] {
      const addrinfo hints = Hints(AI_ADDRCONFIG | AI_NUMERICSERV);
      lookup->rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &lookup->found);
      lookup->finished.store(true, std::memory_order_release);
      const std::uint64_t one = 1;
      [[maybe_unused]] const ssize_t n = ::write(lookup->done.Get(), &one, sizeof one);
    }).detach();
  } catch (const std::system_error& e) {
    FailPort(e.code().value(), "Résolution de " + host + " impossible");
  }
  wait.Until(lookup->done.Get(), POLLIN, deadline);
  if (!lookup->finished.load(std::memory_order_acquire))
    FailPort(ETIMEDOUT, "Hôte inconnu : " + host + " (le résolveur n'a pas répondu)");
  if (lookup->rc != 0)
    FailPort(EHOSTUNREACH, "Hôte inconnu : " + host + " (" + ::gai_strerror(lookup->rc) + ")");
  return AddressList(std::exchange(lookup->found, nullptr), ::freeaddrinfo);
}

}  // namespace xmodemquarvel
