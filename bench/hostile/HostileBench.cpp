// hostile_bench
//
// Far ends that misbehave, driven through the C interface as a host would, in
// real time on loopback: a terminal server that says nothing, one that
// streams without end, one that agrees to everything and whose modem never
// answers, a modem that connects and then floods the line at 10 MB/s, an
// endless Telnet subnegotiation; and, on the virtual clock, a modem that
// answers BUSY every 20 s. For each: how long the call took, the longest gap
// between two calls of the yield callback (interval 20 ms), and, for an abort
// asked 1 s into the call, the time from the request to the hang-up (DTR
// dropped at the far end) and to the return; the resident memory under the
// flood. Figures are set against peers measured in the same run: the longest
// gap of a bare 20 ms poll() loop under the same load, and the wake-up of a
// bare poll() by an eventfd written from another thread.
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "../ProcessUsage.h"
#include "sim/HostilePeers.h"
#include "sim/SimulatedModem.h"
#include "sim/SimulatedSerialPort.h"
#include "xmodemquarvel/ModuleXmodem.h"
#include "xmodemquarvel/xq.h"

namespace {

namespace xq = xmodemquarvel;
namespace sim = xmodemquarvel::sim;
using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

constexpr int kIntervalMs = 20;
constexpr std::size_t kFlood = 10 << 20;

double Ms(Steady::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// What a yield callback sees: the gaps between its calls, and the memory.
struct Watch {
  Steady::time_point last = Steady::now();
  Steady::duration longest{};
  static void Yield(void* self) {
    auto& w = *static_cast<Watch*>(self);
    const auto now = Steady::now();
    w.longest = std::max(w.longest, now - w.last);
    w.last = now;
  }
};

// The resident memory of the process, sampled every 10 ms while it lives.
class MemorySampler {
 public:
  MemorySampler()
      : thread_([this] {
          while (!done_.load()) {
            peak_ = std::max(peak_.load(), xq::bench::CurrentMegabytes());
            std::this_thread::sleep_for(10ms);
          }
        }) {}
  ~MemorySampler() {
    done_.store(true);
    thread_.join();
  }
  double Peak() const { return peak_.load(); }

 private:
  std::atomic<bool> done_{false};
  std::atomic<double> peak_{0};
  std::thread thread_;
};

// The far end of a remote line that agrees to everything: a modem that
// answers (and floods once connected), or none at all.
struct AgreeingLine {
  explicit AgreeingLine(bool modem_answers) {
    if (modem_answers) {
      modem = std::make_unique<sim::SimulatedModem>(remote.Line());
      flood = std::make_unique<sim::FloodPeer>(remote.Line(), kFlood);
      modem->AttachServer(flood.get());
      remote.Line().AttachPeer(modem.get());
    } else {
      remote.Line().AttachPeer(&deaf);
    }
    remote.Line().log = [this](const std::string& text) {
      if (text == "client : DTR baissé" && dropped.load() == 0)
        dropped.store(Steady::now().time_since_epoch().count());
    };
    remote.Start();
  }
  struct Deaf final : sim::LinePeer {
    void OnHostBytes(std::string_view) override {}
  } deaf;
  sim::ServedRemoteLine remote;
  std::unique_ptr<sim::SimulatedModem> modem;
  std::unique_ptr<sim::FloodPeer> flood;
  std::atomic<Steady::rep> dropped{0};
};

std::atomic<xq_module*> g_target{nullptr};
std::atomic<Steady::rep> g_asked{0};

void OnAlarm(int) {
  g_asked.store(Steady::now().time_since_epoch().count());
  if (xq_module* m = g_target.load()) xq_abort(m);
}

enum class Far { kSilent, kStream, kDeafModem, kFloodedReceive, kEndlessSubnegotiation };
enum class Abort { kNone, kThread, kSignal };

struct Case {
  const char* name;
  Far far;
  bool yield;
  Abort abort;
};

struct Figures {
  double total_ms = 0, gap_ms = -1, hang_up_ms = -1, return_ms = -1, peak_mb = 0;
  int result = -1;
};

Figures Run(const Case& c, const std::filesystem::path& dir) {
  std::unique_ptr<sim::HostileTelnetServer> hostile;
  std::unique_ptr<AgreeingLine> agreeing;
  std::string device;
  switch (c.far) {
    case Far::kSilent:
      hostile = std::make_unique<sim::HostileTelnetServer>(sim::Hostility::kSilent);
      break;
    case Far::kStream:
      hostile = std::make_unique<sim::HostileTelnetServer>(sim::Hostility::kStream, kFlood);
      break;
    case Far::kEndlessSubnegotiation:
      hostile = std::make_unique<sim::HostileTelnetServer>(sim::Hostility::kEndlessSubnegotiation,
                                                           kFlood);
      break;
    case Far::kDeafModem:
    case Far::kFloodedReceive:
      agreeing = std::make_unique<AgreeingLine>(c.far == Far::kFloodedReceive);
      break;
  }
  device = hostile ? hostile->Device() : agreeing->remote.Device();

  Watch watch;
  xq_module* m = nullptr;
  if (c.yield) {
    xq_create_hosted(&Watch::Yield, &watch, kIntervalMs, &m);
  } else {
    xq_create(&m);
  }
  xq_set_device(m, device.c_str());
  xq_return_value r = -1;
  if (c.far == Far::kFloodedReceive) xq_connect(m, 1, nullptr, nullptr, &r);

  g_asked.store(0);
  std::thread asker;
  if (c.abort == Abort::kThread) {
    asker = std::thread([m] {
      std::this_thread::sleep_for(1s);
      g_asked.store(Steady::now().time_since_epoch().count());
      xq_abort(m);
    });
  } else if (c.abort == Abort::kSignal) {
    g_target.store(m);
    itimerval timer{};
    timer.it_value.tv_sec = 1;
    ::setitimer(ITIMER_REAL, &timer, nullptr);
  }
  MemorySampler memory;
  const auto start = Steady::now();
  watch.last = start;
  const std::string file = (dir / "flood.dat").string();
  if (c.far == Far::kFloodedReceive) {
    xq_receive_file(m, "u", "p", file.c_str(), "0", &r);
  } else {
    xq_connect(m, 1, nullptr, nullptr, &r);
  }
  const auto end = Steady::now();
  Watch::Yield(&watch);
  if (asker.joinable()) asker.join();
  g_target.store(nullptr);

  Figures f;
  f.result = r;
  f.total_ms = Ms(end - start);
  if (c.yield) f.gap_ms = Ms(watch.longest);
  f.peak_mb = memory.Peak();
  if (c.abort != Abort::kNone && g_asked.load() != 0) {
    const Steady::time_point asked{Steady::duration(g_asked.load())};
    f.return_ms = Ms(end - asked);
    if (agreeing) {
      for (int i = 0; i < 200 && agreeing->dropped.load() == 0; ++i)
        std::this_thread::sleep_for(5ms);
      if (agreeing->dropped.load() != 0)
        f.hang_up_ms = Ms(Steady::time_point(Steady::duration(agreeing->dropped.load())) - asked);
    }
  }
  xq_destroy(m);
  return f;
}

// The peers: the longest gap of a bare 20 ms poll() loop while another thread
// drains a 10 MB/s stream, and the longest wake-up of a bare poll() by an
// eventfd written from another thread.
double FloorGapMs() {
  sim::HostileTelnetServer stream(sim::Hostility::kStream, kFlood);
  const std::string device = stream.Device();
  const int port = std::stoi(device.substr(device.rfind(':') + 1));
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  std::atomic<bool> done{false};
  std::thread drain([&] {
    char sink[4096];
    while (!done.load()) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 50) > 0 && ::recv(fd, sink, sizeof sink, 0) <= 0) break;
    }
  });
  Steady::duration longest{};
  auto last = Steady::now();
  const auto until = last + 3s;
  while (Steady::now() < until) {
    ::poll(nullptr, 0, kIntervalMs);
    const auto now = Steady::now();
    longest = std::max(longest, now - last);
    last = now;
  }
  done.store(true);
  drain.join();
  ::close(fd);
  return Ms(longest);
}

double FloorWakeMs() {
  const int fd = ::eventfd(0, EFD_CLOEXEC);
  Steady::duration longest{};
  for (int i = 0; i < 20; ++i) {
    std::atomic<Steady::rep> written{0};
    std::thread writer([&] {
      std::this_thread::sleep_for(20ms);
      written.store(Steady::now().time_since_epoch().count());
      const std::uint64_t one = 1;
      [[maybe_unused]] const ssize_t n = ::write(fd, &one, sizeof one);
    });
    pollfd p{fd, POLLIN, 0};
    ::poll(&p, 1, 5000);
    const auto woke = Steady::now();
    std::uint64_t count;
    [[maybe_unused]] const ssize_t n = ::read(fd, &count, sizeof count);
    writer.join();
    longest = std::max(longest, woke - Steady::time_point(Steady::duration(written.load())));
  }
  ::close(fd);
  return Ms(longest);
}

// BUSY every 20 s for ever, on the virtual clock: how long the dial lasts.
double BusyDialMinutes() {
  auto clock = std::make_shared<xq::VirtualClock>();
  auto owned = std::make_unique<sim::SimulatedSerialPort>(clock);
  auto& port = *owned;
  sim::ModemScript script;
  script.dial_answers = {{}};
  sim::SimulatedModem modem(port, script);
  port.AttachPeer(&modem);
  xq::HostOptions options;
  options.clock = clock;
  options.port = std::move(owned);
  xq::ModuleXmodem module(std::move(options));
  std::function<void()> busy = [&] {
    port.SendToHost("\r\nBUSY\r\n");
    clock->ScheduleAfter(20s, busy);
  };
  clock->ScheduleAfter(21s, busy);
  const auto start = clock->Now();
  module.Connect(3);
  return std::chrono::duration<double, std::ratio<60>>(clock->Now() - start).count();
}

void Cell(double value, const char* unit) {
  if (value < 0) {
    std::printf(" | —");
  } else {
    std::printf(" | %.1f %s", value, unit);
  }
}

}  // namespace

int main() {
  struct sigaction action {};
  action.sa_handler = OnAlarm;
  ::sigaction(SIGALRM, &action, nullptr);
  const auto dir =
      std::filesystem::temp_directory_path() / ("hostile-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);

  const double floor_gap = FloorGapMs();
  const double floor_wake = FloorWakeMs();
  std::printf(
      "Peers: longest gap of a bare %d ms poll() loop under a %zu MB/s flood: %.1f ms; "
      "longest eventfd wake-up of a bare poll(): %.2f ms\n\n",
      kIntervalMs, kFlood >> 20, floor_gap, floor_wake);

  const Case cases[] = {
      {"silent server, xq_connect", Far::kSilent, true, Abort::kNone},
      {"same, xq_abort() from another thread", Far::kSilent, true, Abort::kThread},
      {"flooding server, xq_connect", Far::kStream, true, Abort::kNone},
      {"same, abort from a thread", Far::kStream, true, Abort::kThread},
      {"unanswering modem, no yield callback, abort from a thread", Far::kDeafModem, false,
       Abort::kThread},
      {"same, abort from a signal handler", Far::kDeafModem, false, Abort::kSignal},
      {"data flood during xq_receive_file, abort from a thread", Far::kFloodedReceive, true,
       Abort::kThread},
      {"same, no yield callback, abort from SIGALRM", Far::kFloodedReceive, false, Abort::kSignal},
      {"endless Telnet subnegotiation, xq_connect", Far::kEndlessSubnegotiation, true,
       Abort::kNone},
  };
  std::printf(
      "| case | call | longest yield gap (× interval, × peer) | request → hang-up (× peer) "
      "| request → return | peak RSS |\n|---|---|---|---|---|---|\n");
  for (const Case& c : cases) {
    const Figures f = Run(c, dir);
    std::printf("| %s", c.name);
    Cell(f.total_ms, "ms");
    if (f.gap_ms < 0) {
      std::printf(" | —");
    } else {
      std::printf(" | %.1f ms (%.2f×, %.2f×)", f.gap_ms, f.gap_ms / kIntervalMs,
                  floor_gap > 0 ? f.gap_ms / floor_gap : 0.0);
    }
    if (f.hang_up_ms < 0) {
      std::printf(" | —");
    } else {
      std::printf(" | %.2f ms (%.2f×)", f.hang_up_ms,
                  floor_wake > 0 ? f.hang_up_ms / floor_wake : 0.0);
    }
    Cell(f.return_ms, "ms");
    Cell(f.peak_mb, "MB");
    std::printf(" |\n");
    std::fflush(stdout);
  }
  std::printf(
      "| modem answering BUSY every 20 s, xq_connect (virtual clock) | %.1f min | — | — | — "
      "| — |\n",
      BusyDialMinutes());
  std::filesystem::remove_all(dir);
  return 0;
}
