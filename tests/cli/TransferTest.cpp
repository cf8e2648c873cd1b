#include <signal.h>

#include <gtest/gtest.h>

#include "Processes.h"

namespace xmodemq::test {
namespace {

namespace fs = std::filesystem;

const std::map<std::string, std::optional<std::string>> kPassword = {
    {"XMODEMQ_PASSWORD", "mdp-42"}};

std::vector<std::string> Client(const std::string& command, const fs::path& file,
                                const Simulator& sim, std::vector<std::string> extra = {}) {
  std::vector<std::string> args = {command,  file.string(), "--user",
                                   "PS0001", "--device",    sim.Link()};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(Transfer, ADialWithoutDialToneExitsThreeWithItsMessage) {
  TempDir dir;
  Simulator sim(dir, {"--dial-answer", "NO DIALTONE"});
  const Outcome r = RunXmodemq(Client("send", "/etc/hostname", sim, {"--trace"}), kPassword);
  EXPECT_EQ(r.status, 3) << r.All();
  EXPECT_NE(r.err.find("Xmodem: Connect: Pas de tonalité"), std::string::npos) << r.err;
  // No further attempt after NO DIALTONE; the trace shows the modem's lines.
  EXPECT_EQ(Count(r.err, "NO DIALTONE"), 1u) << r.err;
  EXPECT_NE(r.err.find("OK"), std::string::npos);
}

TEST(Transfer, InvalidSettingsAreRefusedBeforeAnyConnection) {
  TempDir dir;
  Simulator sim(dir, {});
  const Outcome r = RunXmodemq(Client("send", "/etc/hostname", sim, {"--settings", "9600,N,9,1"}),
                               kPassword, 10s);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("Les paramètres 9600,N,9,1 ne sont pas valides"), std::string::npos)
      << r.err;
  const Outcome s = sim.Stop();
  EXPECT_EQ(s.err.find("port ouvert"), std::string::npos) << s.err;
}

TEST(Transfer, SendThenReceiveGiveByteIdenticalFiles) {
  TempDir dir;
  fs::create_directories(dir / "server");
  fs::create_directories(dir / "back");
  const std::string bill = BillingRecords(40, 7);
  ASSERT_EQ(bill.size(), 40u * 128);
  WriteFile(dir / "FACT0001.TXT", bill);
  Simulator sim(dir, {"--store", (dir / "server").string()});

  const Outcome sent =
      RunXmodemq(Client("send", dir / "FACT0001.TXT", sim, {"--progress"}), kPassword);
  ASSERT_EQ(sent.status, 0) << sent.All();
  // The server keeps it under the name the opening record carried.
  EXPECT_EQ(ReadFile(dir / "server" / "FACT0001"), bill);
  EXPECT_NE(sent.err.find("bloc 40/40"), std::string::npos) << sent.err;

  const Outcome received =
      RunXmodemq(Client("receive", dir / "back" / "FACT0001.TXT", sim, {"--quiet"}), kPassword);
  ASSERT_EQ(received.status, 0) << received.All();
  EXPECT_EQ(ReadFile(dir / "back" / "FACT0001.TXT"), bill);
  EXPECT_TRUE(received.err.empty()) << received.err;
}

TEST(Transfer, AReceiveCutMidwayResumesWhereItStopped) {
  TempDir dir;
  const std::string bill = BillingRecords(60, 11);
  WriteFile(dir / "FACT0002.TXT", bill);
  // The server's response, then 20 data frames, then the line drops.
  Simulator sim(dir, {"--store", (dir / "store").string(), "--serve",
                      (dir / "FACT0002.TXT").string(), "--cut-after", "21"});

  fs::create_directories(dir / "local");
  const fs::path local = dir / "local" / "FACT0002.TXT";
  const Outcome cut = RunXmodemq(Client("receive", local, sim), kPassword);
  EXPECT_EQ(cut.status, 3) << cut.All();
  EXPECT_NE(cut.err.find("Xmodem: ReceiveFile: La ligne est coupée"), std::string::npos) << cut.err;
  EXPECT_EQ(ReadFile(local), bill.substr(0, 20 * 128));

  const Outcome resumed = RunXmodemq(Client("receive", local, sim, {"--progress"}), kPassword);
  ASSERT_EQ(resumed.status, 0) << resumed.All();
  EXPECT_EQ(ReadFile(local), bill);
  // The count goes on from the blocks already held.
  EXPECT_NE(resumed.err.find("bloc 60"), std::string::npos) << resumed.err;
  EXPECT_EQ(resumed.err.find("bloc 1,"), std::string::npos) << resumed.err;
}

TEST(Transfer, CtrlCHangsUpAndKeepsTheBlocksReceived) {
  TempDir dir;
  const std::string bill = BillingRecords(200, 13);
  WriteFile(dir / "FACT0005.TXT", bill);
  // Slow enough that the transfer is still running when the signal comes.
  Simulator sim(dir, {"--store", (dir / "store").string(), "--serve",
                      (dir / "FACT0005.TXT").string(), "--baud", "19200"});
  fs::create_directories(dir / "local");
  const fs::path local = dir / "local" / "FACT0005.TXT";
  std::vector<std::string> args = {XMODEMQ_PATH};
  for (auto& a : Client("receive", local, sim, {"--progress"})) args.push_back(a);
  Process client(args, kPassword);
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (client.ErrSoFar().find("bloc ") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline && client.Pump(20ms)) {
  }
  ASSERT_NE(client.ErrSoFar().find("bloc "), std::string::npos) << client.ErrSoFar();
  client.Signal(SIGINT);
  const Outcome r = client.Wait(20s);
  EXPECT_EQ(r.status, 130) << r.All();
  EXPECT_NE(r.err.find("Interrompu"), std::string::npos) << r.err;
  const std::string held = ReadFile(local);
  EXPECT_GT(held.size(), 0u);
  EXPECT_LT(held.size(), bill.size());
  EXPECT_EQ(held.size() % 128, 0u);
  EXPECT_EQ(held, bill.substr(0, held.size()));
}

TEST(Transfer, ARefusalExitsFourWithTheStatus) {
  TempDir dir;
  WriteFile(dir / "FACT0003.TXT", BillingRecords(3, 1));
  Simulator sim(dir, {"--status", "6", "--store", dir.Path().string()});
  const Outcome r = RunXmodemq(Client("send", dir / "FACT0003.TXT", sim), kPassword);
  EXPECT_EQ(r.status, 4) << r.All();
  EXPECT_NE(r.err.find("Xmodem: SendFile: Transfert refusé, status 6"), std::string::npos) << r.err;
}

TEST(Transfer, TheSimulatorServesCallAfterCallAndLeavesCleanly) {
  TempDir dir;
  Simulator sim(dir, {"--dial-answer", "BUSY,NO CARRIER", "--dial-answer", "CONNECT 9600"});
  // First call: BUSY then NO CARRIER, then the second dial connects.
  const Outcome first =
      RunXmodemq(Client("receive", dir / "x", sim, {"--attempts", "1", "--trace"}), kPassword);
  EXPECT_NE(first.err.find("NO CARRIER"), std::string::npos) << first.err;
  EXPECT_NE(first.err.find("CONNECT 9600"), std::string::npos) << first.err;
  const Outcome second = RunXmodemq(Client("receive", dir / "y", sim, {"--trace"}), kPassword);
  EXPECT_NE(second.err.find("CONNECT 9600"), std::string::npos) << second.err;
  const Outcome s = sim.Stop();
  EXPECT_EQ(s.status, 0) << s.All();
  EXPECT_FALSE(fs::exists(fs::symlink_status(sim.Link())));
}

}  // namespace
}  // namespace xmodemq::test
