// lines_bench [--over rfc2217|pty] [--blocks B] [N...]
//
// N transfers at once (1, 8, 32 and 128 by default), each on its own
// ModuleXmodem on its own thread, each on its own line: a remote line through
// rfc2217:// (the default) or a pseudo-terminal through the termios port. The
// simulated modems and servers live in a child process, one thread per line;
// each server answers every message after the time that message and its
// answer take on a 9600 bit/s line, so the lines are the bottleneck. Half the
// lines send B blocks (100 by default), the other half receive them.
//
// Printed per N: the wall time of the whole run (connect, transfer,
// disconnect), the client's CPU time (user + system of this process, which
// holds only the clients) per line-minute and as a share of one core, and the
// client's peak resident memory.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "../ProcessUsage.h"
#include "sim/PtyLine.h"
#include "sim/Rfc2217Line.h"
#include "sim/SimulatedModem.h"
#include "sim/SimulatedServer.h"
#include "xmodemquarvel/ModuleXmodem.h"

namespace xq = xmodemquarvel;
using Seconds = std::chrono::duration<double>;

using xmodemquarvel::bench::CpuSeconds;
using xmodemquarvel::bench::PeakMegabytes;

namespace {

constexpr int kBitsPerSecond = 9600;

std::string Content(int blocks) {
  std::string out(static_cast<std::size_t>(blocks) * 128, '\0');
  std::uint32_t x = 4242;
  for (auto& c : out) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<char>(x >> 24);
  }
  return out;
}

void Require(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error(what);
}

// One line of the far end: a modem and a server behind it.
template <class Line>
struct FarLine {
  template <class... Args>
  FarLine(xq::sim::ServerScript script, const std::string& content, Args&&... args)
      : line(std::forward<Args>(args)...), modem(line), server(line, script) {
    modem.AttachServer(&server);
    line.AttachPeer(&modem);
    server.PutFile("fetch", content);
  }
  Line line;
  xq::sim::SimulatedModem modem;
  xq::sim::SimulatedServer server;
};

template <class Line, class... Args>
[[noreturn]] void ServeLines(int n, int out, const std::string& content, Args&&... args) {
  // Ten bits a byte: a 133-byte frame with its CR and a 2-byte answer.
  xq::sim::ServerScript script;
  script.reply_delay = std::chrono::microseconds((134 + 2) * 10 * 1'000'000LL / kBitsPerSecond);
  std::vector<std::unique_ptr<FarLine<Line>>> lines;
  std::string devices;
  for (int i = 0; i < n; ++i) {
    lines.push_back(std::make_unique<FarLine<Line>>(script, content, args...));
    if constexpr (std::is_same_v<Line, xq::sim::PtyLine>) {
      devices += lines.back()->line.SlavePath() + "\n";
    } else {
      devices += "rfc2217://127.0.0.1:" + std::to_string(lines.back()->line.Port()) + "\n";
    }
  }
  std::vector<std::thread> threads;
  for (auto& l : lines) threads.emplace_back([&l] { l->line.Run(); });
  if (::write(out, devices.data(), devices.size()) < 0) ::_exit(1);
  ::close(out);
  // Serves until the parent kills it.
  for (auto& t : threads) t.join();
  ::_exit(0);
}

struct Result {
  double wall = 0;
  double cpu = 0;
  double peak = 0;
  int failures = 0;
};

Result RunLines(int n, bool remote, int blocks, const std::filesystem::path& dir) {
  const std::string content = Content(blocks);
  int fds[2];
  Require(::pipe(fds) == 0, "pipe");
  const pid_t child = ::fork();
  Require(child >= 0, "fork");
  if (child == 0) {
    ::close(fds[0]);
    try {
      if (remote) ServeLines<xq::sim::Rfc2217Line>(n, fds[1], content, "127.0.0.1", "0");
      ServeLines<xq::sim::PtyLine>(n, fds[1], content);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "far end: %s\n", e.what());
      ::_exit(1);
    }
  }
  ::close(fds[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t got; (got = ::read(fds[0], buffer, sizeof buffer)) > 0;)
    text.append(buffer, static_cast<std::size_t>(got));
  ::close(fds[0]);
  std::vector<std::string> devices;
  for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
    devices.push_back(text.substr(at, end - at));
  Require(static_cast<int>(devices.size()) == n, "the far end did not start its lines");

  const std::string source = (dir / "payload.txt").string();
  std::ofstream(source, std::ios::binary)
      .write(content.data(), static_cast<std::streamsize>(content.size()));

  std::atomic<int> failures{0};
  const double c0 = CpuSeconds();
  const auto t0 = std::chrono::steady_clock::now();
  std::vector<std::thread> clients;
  for (int i = 0; i < n; ++i) {
    clients.emplace_back([&, i] {
      xq::ModuleXmodem module;
      module.Device(devices[static_cast<std::size_t>(i)]);
      bool ok = module.Connect(1) == xq::rvTrue;
      const std::string target = (dir / ("fetch." + std::to_string(i))).string();
      if (ok && i % 2 == 0) ok = module.SendFile("bench", "pw", source, "0") == xq::rvTrue;
      if (ok && i % 2 == 1) ok = module.ReceiveFile("bench", "pw", target, "0") == xq::rvTrue;
      module.Disconnect();
      if (i % 2 == 1) {
        std::ifstream in(target, std::ios::binary);
        ok = ok && std::string(std::istreambuf_iterator<char>(in), {}) == content;
      }
      if (!ok) {
        ++failures;
        std::fprintf(stderr, "line %d: %s\n", i, module.ErrorDescription().c_str());
      }
    });
  }
  for (auto& t : clients) t.join();
  Result result;
  result.wall = Seconds(std::chrono::steady_clock::now() - t0).count();
  result.cpu = CpuSeconds() - c0;
  result.peak = PeakMegabytes();
  result.failures = failures.load();
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  bool remote = true;
  int blocks = 100;
  std::vector<int> counts;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--over" && i + 1 < argc) {
      remote = std::string(argv[++i]) != "pty";
    } else if (arg == "--blocks" && i + 1 < argc) {
      blocks = std::stoi(argv[++i]);
    } else {
      counts.push_back(std::stoi(arg));
    }
  }
  if (counts.empty()) counts = {1, 8, 32, 128};
  // Each line takes a descriptor here and one or two in the far end.
  rlimit files{};
  ::getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &files);

  const auto dir =
      std::filesystem::temp_directory_path() / ("lines_bench." + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::printf("lines at %d bit/s over %s, %d blocks each (half send, half receive)\n",
              kBitsPerSecond, remote ? "rfc2217://" : "pseudo-terminals", blocks);
  std::printf("%6s %10s %14s %12s %10s %9s\n", "lines", "wall (s)", "CPU/line-min", "CPU/core",
              "peak (MB)", "failures");
  int status = 0;
  for (int n : counts) {
    try {
      const Result r = RunLines(n, remote, blocks, dir);
      const double line_minutes = n * r.wall / 60.0;
      std::printf("%6d %10.1f %12.1f ms %11.2f %% %10.1f %9d\n", n, r.wall,
                  1000.0 * r.cpu / line_minutes, 100.0 * r.cpu / r.wall, r.peak, r.failures);
      std::fflush(stdout);
      if (r.failures != 0) status = 1;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "lines_bench: %s\n", e.what());
      status = 1;
    }
  }
  std::filesystem::remove_all(dir);
  return status;
}
