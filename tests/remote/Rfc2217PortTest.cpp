// The remote serial line end to end: the component on rfc2217://, against the
// simulator's own terminal server, against servers that will not negotiate,
// and against a real ser2net in front of a pseudo-terminal.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "cli/Processes.h"
#include "platform/UniqueFd.h"
#include "sim/PtyLine.h"
#include "sim/Rfc2217Line.h"
#include "sim/SimulatedModem.h"
#include "sim/SimulatedServer.h"
#include "xmodemquarvel/ModuleXmodem.h"

namespace xmodemquarvel {
namespace {

using namespace std::chrono_literals;
using xmodemq::test::ReadFile;
using xmodemq::test::TempDir;
using xmodemq::test::WriteFile;

// Every 128-byte block holds 0xFF alone, doubled, and before the bytes that
// would end or start a subnegotiation.
std::string IacEveryFrame(int blocks) {
  std::string out;
  std::uint32_t x = 99;
  for (int i = 0; i < blocks * 128; ++i) {
    x = x * 1664525u + 1013904223u;
    out.push_back(static_cast<char>(x >> 24));
  }
  for (int b = 0; b < blocks; ++b)
    out.replace(b * 128 + 5 * (b % 20), 6, "\xFF\xFF\xFF\xF0\xFF\xFA");
  return out;
}

// A simulated modem and server behind a line, served on a thread of its own.
template <class LineType>
struct FarEnd {
  template <class... Args>
  explicit FarEnd(sim::ServerFaults faults, Args&&... args)
      : line(std::forward<Args>(args)...), modem(line), server(line, {}, faults) {
    modem.AttachServer(&server);
    line.AttachPeer(&modem);
    thread = std::thread([this] { line.Run(); });
  }
  ~FarEnd() {
    line.Stop();
    thread.join();
  }
  LineType line;
  sim::SimulatedModem modem;
  sim::SimulatedServer server;
  std::thread thread;
};

// What the line logs, kept until its thread has ended (a base built first and
// destroyed last).
struct LogBook {
  std::string Log() {
    std::lock_guard<std::mutex> hold(mutex);
    return log;
  }
  std::mutex mutex;
  std::string log;
};

struct Remote : LogBook, FarEnd<sim::Rfc2217Line> {
  explicit Remote(sim::ServerFaults faults = {}) : FarEnd(faults, "127.0.0.1", "0") {
    line.log = [this](const std::string& text) {
      std::lock_guard<std::mutex> hold(mutex);
      log += text + "\n";
    };
  }
  std::string Device() const { return "rfc2217://127.0.0.1:" + std::to_string(line.Port()); }
};

// On the real clock: a pause leaves time for the server's confirmations.
std::unique_ptr<ModuleXmodem> Module(const std::string& device) {
  auto module = std::make_unique<ModuleXmodem>();
  module->Device(device);
  return module;
}

TEST(Rfc2217Port, SendsAndReceivesEveryFrameWithIacBytesIntact) {
  TempDir dir;
  const std::string content = IacEveryFrame(200);
  WriteFile(dir / "iac.out", content);
  Remote remote;
  auto module = Module(remote.Device());
  module->Settings("19200,N,8,1");
  ASSERT_EQ(module->Connect(1), rvTrue) << module->ErrorDescription();
  ASSERT_EQ(module->SendFile("u", "p", dir / "iac.out", "0"), rvTrue) << module->ErrorDescription();
  // Same base name: the server serves back what it has just stored.
  ASSERT_EQ(module->ReceiveFile("u", "p", dir / "iac.back", "0"), rvTrue)
      << module->ErrorDescription();
  module->Disconnect();
  EXPECT_EQ(remote.server.File("iac"), content);
  EXPECT_EQ(ReadFile(dir / "iac.back"), content);
  EXPECT_NE(remote.Log().find("client : paramètres 19200,N,8,1\n"), std::string::npos);
  EXPECT_NE(remote.Log().find("client : DTR baissé\nclient : déconnecté\n"), std::string::npos)
      << remote.Log();
  // Our own server confirms every control: nothing to note.
  EXPECT_EQ(module->TraceText().find("Ligne distante"), std::string::npos) << module->TraceText();
}

// The connection is cut after 40 frames of a receive: a lost line, noted once;
// the next call resumes after the blocks held and ends byte-identical.
TEST(Rfc2217Port, LostConnectionEndsTheTransferAndTheNextOneResumes) {
  TempDir dir;
  const std::string content = IacEveryFrame(100);
  sim::ServerFaults faults;
  faults.line_loss_after_frames = 40;
  Remote remote(faults);
  remote.server.PutFile("cut", content);
  auto module = Module(remote.Device());
  ASSERT_EQ(module->Connect(1), rvTrue);
  EXPECT_EQ(module->ReceiveFile("u", "p", dir / "cut.txt", "0"), rvCTS);
  EXPECT_EQ(module->ErrorDescription(), "La ligne est coupée");
  const std::string trace = module->TraceText();
  EXPECT_EQ(trace.find("perdue"), trace.rfind("perdue")) << trace;
  EXPECT_NE(trace.find("Ligne distante 127.0.0.1:" + std::to_string(remote.line.Port()) +
                       " perdue : connexion"),
            std::string::npos)
      << trace;
  EXPECT_EQ(ReadFile(dir / "cut.txt"), content.substr(0, 40 * 128));

  remote.server.Faults().line_loss_after_frames = -1;
  ASSERT_EQ(module->Connect(1), rvTrue) << module->ErrorDescription();
  ASSERT_EQ(module->ReceiveFile("u", "p", dir / "cut.txt", "0"), rvTrue)
      << module->ErrorDescription();
  module->Disconnect();
  EXPECT_EQ(ReadFile(dir / "cut.txt"), content);
  EXPECT_EQ(remote.server.Transfers().back().requested_position, 40);
}

// A listening socket on a free loopback port.
UniqueFd Listen(int& port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), len);
  ::listen(fd.Get(), 1);
  ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return fd;
}

// A TCP port that accepts and then does one thing with what it hears.
struct OddServer {
  enum Kind { kSilent, kRefuses, kHangsUp };
  explicit OddServer(Kind kind) : listener(Listen(port)) {
    thread = std::thread([this, kind] {
      UniqueFd client(::accept(listener.Get(), nullptr, nullptr));
      char buffer[256];
      if (kind == kRefuses && ::recv(client.Get(), buffer, sizeof buffer, 0) > 0)
        ::send(client.Get(), "\xFF\xFE\x2C", 3, MSG_NOSIGNAL);
      if (kind == kHangsUp) return;
      while (::recv(client.Get(), buffer, sizeof buffer, 0) > 0) {
      }
    });
  }
  ~OddServer() {
    ::shutdown(listener.Get(), SHUT_RDWR);
    thread.join();
  }
  int port = 0;
  UniqueFd listener;
  std::thread thread;
};

// Whatever the server does, Connect ends within the negotiation's bound with
// the reason, through the Error event.
TEST(Rfc2217Port, ServersThatWillNotCarryALineAreRefusedInBoundedTime) {
  struct Row {
    std::optional<OddServer::Kind> kind;  // none: nobody listens
    std::string reason;
    std::chrono::milliseconds at_most;
  };
  const std::vector<Row> rows = {
      {OddServer::kSilent, "n'a pas accepté le contrôle de la ligne série (RFC 2217) en 5 s",
       6500ms},
      {OddServer::kRefuses, "refuse le contrôle de la ligne série (RFC 2217)", 1000ms},
      {OddServer::kHangsUp, "a fermé la connexion (ligne occupée ?)", 1000ms},
      {std::nullopt, "Connexion refusée par 127.0.0.1:", 1000ms},
  };
  for (const Row& row : rows) {
    std::optional<OddServer> server;
    int port = 1;
    if (row.kind) port = server.emplace(*row.kind).port;
    auto module = Module("rfc2217://127.0.0.1:" + std::to_string(port));
    std::string reason, raised;
    module->Error = [&](std::string& text) {
      raised = text;
      reason = module->ErrorDescription();
    };
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(module->Connect(1), rvFalse);
    EXPECT_LT(std::chrono::steady_clock::now() - start, row.at_most) << row.reason;
    EXPECT_EQ(raised, "Connexion impossible");
    EXPECT_NE(reason.find(row.reason), std::string::npos) << reason;
  }
}

TEST(Rfc2217Port, MalformedAddressesAreRefusedLikeAPort) {
  for (const char* device : {"rfc2217://", "rfc2217://host", "rfc2217://host:0",
                             "rfc2217://host:99999", "rfc2217://:2000", "rfc2217://a:b:1",
                             "rfc2217://[::1]2000", "rfc2217://host:2000?modemlines"}) {
    auto module = Module("/dev/null");
    std::string raised;
    module->Error = [&](std::string& text) { raised = text; };
    module->Device(device);
    EXPECT_EQ(raised, std::string("Le port ") + device + " n'est pas disponible");
  }
}

// ser2net in front of the simulator's pseudo-terminal. A pseudo-terminal has
// no modem lines: asked for them, ser2net notifies a modem state of 0 (CTS and
// CD low) and never confirms a DTR change. Without "?nomodemlines" the modem
// then does not answer; with it, CTS and CD are taken as held and the data
// flow, and the unconfirmed DTR shows in the trace.
TEST(Rfc2217Port, ThroughSer2netBothWaysByteIdentical) {
  const std::string ser2net_path = "/usr/sbin/ser2net";
  if (::access(ser2net_path.c_str(), X_OK) != 0)
    GTEST_SKIP() << "ser2net absent (Debian package ser2net; CI installs it)";
  TempDir dir;
  FarEnd<sim::PtyLine> far({});
  int port = 0;
  Listen(port);  // a free loopback port, given back at once for ser2net
  WriteFile(dir / "ser2net.yaml",
            "%YAML 1.1\n---\nconnection: &line\n  accepter: telnet(rfc2217),tcp,127.0.0.1," +
                std::to_string(port) + "\n  connector: serialdev," + far.line.SlavePath() +
                ",9600n81,local\n");
  xmodemq::test::Process ser2net({ser2net_path, "-n", "-u", "-c", (dir / "ser2net.yaml").string()});
  const std::string device = "rfc2217://127.0.0.1:" + std::to_string(port);
  const std::string content = IacEveryFrame(150);
  WriteFile(dir / "s2n.out", content);

  // ser2net takes a moment to start, and to free the line after a client.
  const auto connect = [](ModuleXmodem& m) {
    ReturnValues r = rvFalse;
    for (int tries = 0; tries < 50 && r == rvFalse; ++tries) {
      if ((r = m.Connect(1)) == rvFalse) std::this_thread::sleep_for(100ms);
    }
    return r;
  };
  auto bare = Module(device);
  EXPECT_EQ(connect(*bare), rvCTS);
  EXPECT_EQ(bare->ErrorDescription(), "ATZ - Le modem ne répond pas");
  bare.reset();

  auto module = Module(device + "?nomodemlines");
  ASSERT_EQ(connect(*module), rvTrue) << module->ErrorDescription();
  ASSERT_EQ(module->SendFile("u", "p", dir / "s2n.out", "0"), rvTrue) << module->ErrorDescription();
  ASSERT_EQ(module->ReceiveFile("u", "p", dir / "s2n.back", "0"), rvTrue)
      << module->ErrorDescription();
  module->Disconnect();
  ser2net.Signal(SIGTERM);
  ser2net.Wait(5s);
  EXPECT_EQ(far.server.File("s2n"), content);
  EXPECT_EQ(ReadFile(dir / "s2n.back"), content);
  EXPECT_NE(module->TraceText().find("SET-CONTROL DTR OFF non confirmé par le serveur"),
            std::string::npos)
      << module->TraceText();
}

}  // namespace
}  // namespace xmodemquarvel
