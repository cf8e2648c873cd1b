// Remote serial lines and pools: the component on rfc2217:// against the
// simulator's terminal server, a real ser2net and addresses without a line;
// `simulate --listen` driven by an independent client; a pool of two
// lines shared by two processes.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <set>
#include <thread>

#include "CommandTable.h"
#include "platform/UniqueFd.h"
#include "xmodemquarvel/ModuleXmodem.h"

namespace xmodemq::test {
namespace {

namespace xq = xmodemquarvel;

// A tool that CI installs: missing there is a failure, elsewhere a skip.
bool Have(bool present, const std::string& what) {
  const char* ci = std::getenv("CI");
  if (!present && ci && std::string(ci) == "true") ADD_FAILURE() << what << " is missing";
  return present;
}

// Connects on the real clock: a server may take a moment to start, or to free
// the line after a client.
xq::ReturnValues ConnectSoon(xq::ModuleXmodem& module, const std::string& device) {
  module.Device(device);
  xq::ReturnValues r = xq::rvFalse;
  for (int tries = 0; tries < 50 && r == xq::rvFalse; ++tries)
    if ((r = module.Connect(1)) == xq::rvFalse) std::this_thread::sleep_for(100ms);
  return r;
}

// A TCP socket, and the address of `port` on the loopback interface.
xq::UniqueFd Loopback(sockaddr_in& a, int port) {
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  return xq::UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
}

// A listening socket on a free loopback port.
xq::UniqueFd Listen(int& port) {
  sockaddr_in a{};
  xq::UniqueFd fd = Loopback(a, 0);
  socklen_t len = sizeof a;
  ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), len);
  ::listen(fd.Get(), 1);
  ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return fd;
}

// ser2net in front of `xmodemq simulate`'s pseudo-terminal. A pseudo-terminal has
// no modem lines: asked for them, ser2net notifies a modem state of 0 (CTS and
// CD low) and never confirms a DTR change. Without "?nomodemlines" the modem
// then does not answer; with it, CTS and CD are taken as held and the data
// flow, and the unconfirmed DTR shows in the trace.
TEST(RemoteLine, Ser2netCarriesEveryFrameIntact) {
  const std::string ser2net_path = "/usr/sbin/ser2net";
  if (!Have(::access(ser2net_path.c_str(), X_OK) == 0, ser2net_path)) GTEST_SKIP();
  TempDir dir;
  Simulator far(dir, {"--store", dir / "store"});
  int port = 0;
  Listen(port);  // a free loopback port, given back at once for ser2net
  WriteFile(dir / "ser2net.yaml",
            "%YAML 1.1\n---\nconnection: &line\n  accepter: telnet(rfc2217),tcp,127.0.0.1," +
                std::to_string(port) + "\n  connector: serialdev," + far.Link() +
                ",9600n81,local\n");
  Process ser2net({ser2net_path, "-n", "-u", "-c", (dir / "ser2net.yaml").string()});
  const std::string device = "rfc2217://127.0.0.1:" + std::to_string(port);
  xq::ModuleXmodem bare;
  EXPECT_EQ(ConnectSoon(bare, device), xq::rvCTS);
  EXPECT_EQ(bare.ErrorDescription(), "ATZ - Le modem ne répond pas");
  bare.Disconnect();
  // A whole send then a whole receive of the same file: the server serves
  // back what it has just stored under its base name.
  const std::string content = WithIacInEveryBlock(BillingFile(150, 99));
  WriteFile(dir / "iac.out", content);
  xq::ModuleXmodem module;
  ASSERT_EQ(ConnectSoon(module, device + "?nomodemlines"), xq::rvTrue) << module.ErrorDescription();
  EXPECT_EQ(module.SendFile("u", "p", dir / "iac.out", "0"), xq::rvTrue)
      << module.ErrorDescription();
  EXPECT_EQ(module.ReceiveFile("u", "p", dir / "iac.back", "0"), xq::rvTrue)
      << module.ErrorDescription();
  module.Disconnect();
  EXPECT_EQ(ReadFile(dir / "store/iac"), content);
  EXPECT_EQ(ReadFile(dir / "iac.back"), content);
  Said(module.TraceText(), {"SET-CONTROL DTR OFF non confirmé par le serveur"});
  ser2net.Signal(SIGTERM);
  ser2net.Wait(5s);
}

// An address that cannot be a line is refused as a port; one where nobody
// listens is refused by Connect, with the reason, through the Error event.
// (Servers that answer but will not carry a line: the hostile-line tests.)
TEST(RemoteLine, AnAddressWithoutALineIsRefused) {
  for (const std::string device :
       {"rfc2217://", "rfc2217://host", "rfc2217://host:0", "rfc2217://host:99999",
        "rfc2217://host:2a", "rfc2217://:2000", "rfc2217://a:b:1", "rfc2217://[::1]2000",
        "rfc2217://host:2000?modemlines"}) {
    xq::ModuleXmodem module;
    std::string raised;
    module.Error = [&](std::string& text) { raised = text; };
    module.Device(device);
    EXPECT_EQ(raised, "Le port " + device + " n'est pas disponible");
  }
  xq::ModuleXmodem module;
  module.Device("rfc2217://127.0.0.1:1");
  std::string raised, reason;
  module.Error = [&](std::string& text) {
    raised = text;
    reason = module.ErrorDescription();
  };
  EXPECT_EQ(module.Connect(1), xq::rvFalse);
  EXPECT_EQ(raised, "Connexion impossible");
  Said(reason, {"Connexion refusée par 127.0.0.1:1"});
}

// pyserial's own client (Debian's, under Debian's Python) against
// `simulate --listen`. Eight connections in a row each read the modem lines
// at once: its offer of the com port option can cross ours and never come,
// and the notification must reach it all the same. Then the settings it sets
// arrive, the modem's CD follows the call, and dropping DTR hangs up. It
// polls the modem state, as it reads it on its own schedule.
TEST(RemoteLine, AnIndependentClientDrivesTheSimulatorsTerminalServer) {
  const std::string python = "/usr/bin/python3";
  if (!Have(std::system((python + " -c 'import serial.rfc2217' 2>/dev/null").c_str()) == 0,
            "python3 with serial (Debian python3-serial)"))
    GTEST_SKIP();
  TempDir dir;
  Simulator sim(dir, {"--listen", "127.0.0.1:0"});
  const char* eight = R"(
import serial, sys
for i in range(8):
    s = serial.serial_for_url(sys.argv[1], timeout=0.2)
    try:
        print("cts=%d cd=%d" % (s.cts, s.cd))
    except serial.SerialException as e:
        print(e)
    finally:
        s.close()
)";
  std::string lines;
  for (int i = 0; i < 8; ++i) lines += "cts=1 cd=0\n";
  const Outcome connections = Process({python, "-c", eight, sim.Link()}).Wait(60s);
  EXPECT_EQ(connections.out, lines) << connections.All();
  const char* script = R"(
import serial, sys, time
s = serial.serial_for_url(sys.argv[1] + "?poll_modem", baudrate=19200, bytesize=7, parity="E", stopbits=2, timeout=0.2)
def until(text):
    got, end = b"", time.time() + 5
    while text not in got and time.time() < end:
        got += s.read(64)
    time.sleep(0.3)
print("idle cts=%d cd=%d" % (s.cts, s.cd))
s.write(b"ATDT0123\r")
until(b"CONNECT")
print("call cts=%d cd=%d" % (s.cts, s.cd))
s.dtr = False
until(b"NO CARRIER")
print("hung up cts=%d cd=%d" % (s.cts, s.cd))
s.close()
)";
  const Outcome r = Process({python, "-c", script, sim.Link()}).Wait(30s);
  EXPECT_EQ(r.out, "idle cts=1 cd=0\ncall cts=1 cd=1\nhung up cts=1 cd=0\n") << r.All();
  const std::string log = sim.Stop().err;
  Said(log, {"client : paramètres 19200,E,7,2", "client : DTR baissé"});
}

// A TCP client connected to a free loopback port of `simulate --listen`.
xq::UniqueFd Dial(const std::string& link) {
  sockaddr_in a{};
  xq::UniqueFd fd = Loopback(a, std::stoi(link.substr(link.rfind(':') + 1)));
  EXPECT_EQ(::connect(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  return fd;
}

// No client holds the only line: one that stays silent is dropped after the
// idle time, and one that writes without ever reading neither freezes the
// simulator nor keeps it from stopping at once on SIGTERM.
TEST(RemoteLine, NoClientHoldsTheSimulatorsLine) {
  TempDir dir;
  Simulator sim(dir, {"--listen", "127.0.0.1:0", "--idle-timeout", "1"});
  {
    xq::UniqueFd silent = Dial(sim.Link());
    const auto start = std::chrono::steady_clock::now();
    char buffer[256];
    ssize_t n = 1;
    while (n > 0) n = ::recv(silent.Get(), buffer, sizeof buffer, 0);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(n, 0);
    EXPECT_GT(took, 900ms);
    EXPECT_LT(took, 3s);
    EXPECT_TRUE(sim.Await("client : rien reçu ni envoyé depuis 1 s : déconnecté", 2s)) << sim.Log();
  }
  xq::UniqueFd greedy = Dial(sim.Link());
  std::atomic<bool> writing{true};
  std::thread flood([&] {
    std::string line;
    for (int i = 0; i < 1000; ++i) line += "AT\r";
    while (writing.load() && ::send(greedy.Get(), line.data(), line.size(), MSG_NOSIGNAL) > 0) {
    }
  });
  std::this_thread::sleep_for(1500ms);
  const auto start = std::chrono::steady_clock::now();
  const Outcome stopped = sim.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_EQ(stopped.status, 0) << stopped.All();
  writing.store(false);
  ::shutdown(greedy.Get(), SHUT_RDWR);
  flood.join();
}

// The simulator's own store: a private folder made for the run, announced,
// removed at its end. A client fetches nothing of the folder the simulator
// was started in: as another user of the machine when the tests run as root,
// else as this one.
TEST(RemoteLine, AClientReachesOnlyTheSimulatorsOwnStore) {
  TempDir home, theirs;
  const Tree mine = {{"FACT0001", BillingFile(4, 1)}, {".profile", "PATH=/usr/bin\n"}};
  MakeTree(home.path(), mine);
  fs::permissions(home / "FACT0001", fs::perms(0600));
  fs::permissions(theirs.path(), fs::perms(0777));
  WriteFile(theirs / "FACT0009.TXT", BillingFile(8, 9));
  fs::permissions(theirs / "FACT0009.TXT", fs::perms(0644));
  Simulator sim(home, {"--listen", "127.0.0.1:0"}, home.path());
  // The folder of its server's files, as it announces it.
  std::smatch announced;
  const std::string log = sim.Log();
  ASSERT_TRUE(std::regex_search(log, announced, std::regex("Dossier du serveur : (\\S+)"))) << log;
  const std::string store = announced[1];
  Said(sim.Log(), {store + " (privé, supprimé à l'arrêt)"});
  EXPECT_EQ(fs::status(store).permissions(), fs::perms::owner_all);
  const auto run = [&](const std::string& command, const std::string& file) {
    // The other user has no folder of its own to keep a journal in.
    return Xmq(Expand({command, "D/" + file, "LINE", "--no-journal"}, theirs.path(), {}, &sim),
               {{"XMODEMQ_PASSWORD", "x"}, {"TMPDIR", theirs.path().string()}}, 30s, Intruder());
  };
  Expect(run("receive", "FACT0001.TXT"), 4, {"status 6"});
  Expect(run("send", "FACT0009.TXT"), 0);
  EXPECT_EQ(ReadFile(fs::path(store) / "FACT0009"), ReadFile(theirs / "FACT0009.TXT"));
  if (Intruder()) {
    EXPECT_NE(Process({"/bin/ls", store}, {}, {}, {}, Intruder()).Wait(10s).status, 0);
  }
  EXPECT_EQ(sim.Stop().status, 0);
  EXPECT_FALSE(fs::exists(store));
  EXPECT_EQ(ReadTree(home.path()), mine);
}

// Two sends at once on a pool of two lines: one takes the first line, the
// other finds it in use and takes the second; both write their rows in one
// journal.
TEST(RemoteLine, TwoSendsShareATwoLinePool) {
  TempDir a, b, files, state;
  const Env env{{"XMODEMQ_PASSWORD", "x"},
                {"XMODEMQ_JOURNAL", (state / "journal.sqlite").string()}};
  Simulator one(a, {"--store", (a / "store").string(), "--baud", "38400"});
  Simulator two(b,
                {"--listen", "127.0.0.1:0", "--store", (b / "store").string(), "--baud", "38400"});
  std::vector<std::unique_ptr<Process>> sends;
  for (const char* name : {"FACT0001", "FACT0002"}) {
    WriteFile(files / name, BillingFile(40, name[7]));
    sends.push_back(std::make_unique<Process>(
        Expand({"send", "D/" + std::string(name), "LINE", "--device", two.Link()}, files.path(),
               {XMODEMQ_PATH}, &one),
        env));
  }
  for (auto& send : sends) Expect(send->Wait(60s), 0);
  for (const char* name : {"FACT0001", "FACT0002"})
    EXPECT_EQ(fs::exists(a / "store" / name) + fs::exists(b / "store" / name), 1) << name;
  for (const TempDir* d : {&a, &b})
    for (const auto& e : fs::directory_iterator(*d / "store"))
      EXPECT_EQ(ReadFile(e.path()), ReadFile(files / e.path().filename()));
  const Outcome journal = Xmq({"journal", "--json"}, env);
  const auto rows = ParseJsonLines(journal.out);
  ASSERT_TRUE(rows) << journal.All();
  ASSERT_EQ(rows->size(), 2u) << journal.out;
  std::set<std::string> lines;
  for (const JsonFields& row : *rows) {
    EXPECT_EQ(row.at("result"), Q("rvTrue"));
    lines.insert(row.at("line"));
  }
  EXPECT_EQ(lines, (std::set<std::string>{Q(one.Link()), Q(two.Link())}));
}

}  // namespace
}  // namespace xmodemq::test
