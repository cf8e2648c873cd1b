// xmodemq over remote lines and over several lines: `simulate --listen`
// driven by an independent client, a cut connection resumed, a pool shared by
// two processes, a batch of files on one call.
#include <gtest/gtest.h>

#include <regex>

#include "Processes.h"

namespace xmodemq::test {
namespace {

namespace fs = std::filesystem;

const Env kPassword = {{"XMODEMQ_PASSWORD", "x"}};

// `xmodemq simulate --listen 127.0.0.1:0 EXTRA...`, ready once it has said
// where it listens; stopped by SIGTERM, when it must exit 0.
class Listener {
 public:
  explicit Listener(const std::vector<std::string>& extra) {
    std::vector<std::string> args = {XMODEMQ_PATH, "simulate", "--listen", "127.0.0.1:0"};
    args.insert(args.end(), extra.begin(), extra.end());
    process_ = std::make_unique<Process>(args);
    const std::regex ready("rfc2217://127\\.0\\.0\\.1:[0-9]+");
    std::smatch found;
    for (int i = 0; i < 500 && !std::regex_search(process_->OutSoFar(), found, ready); ++i)
      if (!process_->Pump(20ms)) break;
    if (found.empty()) throw std::runtime_error("simulate --listen: " + process_->ErrSoFar());
    device_ = found.str();
  }
  ~Listener() {
    const Outcome o = Stop();
    if (o.status != 0) ADD_FAILURE() << "simulate exited " << o.status << ": " << o.All();
  }
  const std::string& Device() const { return device_; }
  Outcome Stop() {
    if (!outcome_) {
      process_->Signal(SIGTERM);
      outcome_ = process_->Wait(10s);
    }
    return *outcome_;
  }

 private:
  std::unique_ptr<Process> process_;
  std::string device_;
  std::optional<Outcome> outcome_;
};

// pyserial's own client: the settings it sets arrive, the modem's CD follows
// the call, and dropping DTR hangs up.
TEST(RemoteCommand, AnIndependentClientDrivesTheSimulatorsTerminalServer) {
  if (std::system("/usr/bin/python3 -c 'import serial.rfc2217' 2>/dev/null") != 0)
    GTEST_SKIP() << "python3-serial absent (CI installs it)";
  Listener sim({});
  const char* script = R"(
import serial, sys, time
s = serial.serial_for_url(sys.argv[1], baudrate=19200, bytesize=7, parity="E", stopbits=2, timeout=0.2)
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
  Process client({"/usr/bin/python3", "-c", script, sim.Device()});
  const Outcome r = client.Wait(30s);
  EXPECT_EQ(r.status, 0) << r.All();
  EXPECT_EQ(r.out, "idle cts=1 cd=0\ncall cts=1 cd=1\nhung up cts=1 cd=0\n") << r.All();
  const std::string log = sim.Stop().err;
  EXPECT_NE(log.find("client : paramètres 19200,E,7,2"), std::string::npos) << log;
  EXPECT_NE(log.find("client : DTR baissé"), std::string::npos) << log;
}

// The connection is cut after 20 frames: the receive ends as a lost line and
// keeps what came; the same command again resumes and ends byte-identical.
TEST(RemoteCommand, ACutConnectionIsALostLineAndTheNextReceiveResumes) {
  TempDir dir;
  const std::string bill = BillingRecords(60, 3);
  fs::create_directories(dir / "served");
  WriteFile(dir / "served" / "FACT0013.TXT", bill);
  Listener sim({"--store", (dir / "store").string(), "--serve",
                (dir / "served" / "FACT0013.TXT").string(), "--cut-after", "20"});
  const std::vector<std::string> receive = {
      "receive", (dir / "FACT0013.TXT").string(), "--user", "PS0001", "--device", sim.Device()};
  const Outcome cut = RunXmodemq(receive, kPassword);
  EXPECT_EQ(cut.status, 3) << cut.All();
  EXPECT_NE(cut.err.find("La ligne est coupée"), std::string::npos) << cut.err;
  EXPECT_FALSE(fs::exists(dir / "FACT0013.TXT"));
  const Outcome again = RunXmodemq(receive, kPassword);
  ASSERT_EQ(again.status, 0) << again.All();
  EXPECT_NE(again.err.find("repris après 19 blocs"), std::string::npos) << again.err;
  EXPECT_EQ(ReadFile(dir / "FACT0013.TXT"), bill);
}

// Two sends at once on a pool of two lines: one takes the first line, the
// other finds it in use and takes the second.
TEST(RemoteCommand, TwoSendsShareATwoLinePool) {
  TempDir a, b, files;
  Simulator one(a, {"--store", (a / "store").string(), "--baud", "38400"});
  Simulator two(b, {"--store", (b / "store").string(), "--baud", "38400"});
  std::vector<std::unique_ptr<Process>> sends;
  for (const char* name : {"FACT0001.TXT", "FACT0002.TXT"}) {
    WriteFile(files / name, BillingRecords(40, name[7]));
    sends.push_back(std::make_unique<Process>(
        std::vector<std::string>{XMODEMQ_PATH, "send", (files / name).string(), "--user", "PS0001",
                                 "--device", one.Link(), "--device", two.Link()},
        kPassword));
  }
  for (auto& send : sends) {
    const Outcome r = send->Wait(60s);
    EXPECT_EQ(r.status, 0) << r.All();
  }
  const auto stored = [](const TempDir& d) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(d / "store")) names.push_back(e.path().filename());
    return names;
  };
  ASSERT_EQ(stored(a).size(), 1u);
  ASSERT_EQ(stored(b).size(), 1u);
  EXPECT_NE(stored(a), stored(b));
  for (const char* name : {"FACT0001", "FACT0002"}) {
    const fs::path held = fs::exists(a / "store" / name) ? a / "store" / name : b / "store" / name;
    EXPECT_EQ(ReadFile(held), ReadFile(files / (std::string(name) + ".TXT")));
  }
}

// Three files on one call, one dial; a batch stops at its first failure with
// that failure's code, and what came before it stays done.
TEST(RemoteCommand, ABatchMovesItsFilesOnOneCall) {
  TempDir dir;
  fs::create_directories(dir / "out");
  std::vector<std::string> send = {"send"};
  for (int i = 1; i <= 3; ++i) {
    const std::string name = "FACT000" + std::to_string(i) + ".TXT";
    WriteFile(dir / "out" / name, BillingRecords(10 * i, i));
    send.push_back((dir / "out" / name).string());
  }
  Simulator sim(dir, {"--store", (dir / "store").string()});
  for (const char* s : {"--user", "PS0001", "--device"}) send.push_back(s);
  send.push_back(sim.Link());
  const Outcome sent = RunXmodemq(send, kPassword, 60s);
  ASSERT_EQ(sent.status, 0) << sent.All();

  std::vector<std::string> receive = {"receive", (dir / "in" / "FACT0001.TXT").string(),
                                      (dir / "in" / "FACT0009.TXT").string(),
                                      (dir / "in" / "FACT0003.TXT").string()};
  for (const char* s : {"--user", "PS0001", "--device"}) receive.push_back(s);
  receive.push_back(sim.Link());
  fs::create_directories(dir / "in");
  const Outcome got = RunXmodemq(receive, kPassword, 60s);
  const std::string log = sim.Stop().err;
  for (int i = 1; i <= 3; ++i) {
    const std::string name = "FACT000" + std::to_string(i);
    EXPECT_EQ(ReadFile(dir / "store" / name), ReadFile(dir / "out" / (name + ".TXT"))) << name;
  }
  // The second file does not exist on the server: status 6 stops the batch.
  EXPECT_EQ(got.status, 4) << got.All();
  EXPECT_EQ(ReadFile(dir / "in" / "FACT0001.TXT"), ReadFile(dir / "out" / "FACT0001.TXT"));
  EXPECT_FALSE(fs::exists(dir / "in" / "FACT0009.TXT"));
  EXPECT_FALSE(fs::exists(dir / "in" / "FACT0003.TXT"));
  EXPECT_NE(got.err.find("1 fichier sur 3 transféré : " + (dir / "in" / "FACT0001.TXT").string()),
            std::string::npos)
      << got.err;
  EXPECT_EQ(Count(log, "simulateur : numérotation"), 2u) << log;
}

}  // namespace
}  // namespace xmodemq::test
