#include <signal.h>

#include <fstream>

#include <gtest/gtest.h>

#include "Processes.h"

namespace xmodemq::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kSecret = "Zq7-motdepasse";

TEST(Password, WithoutAnySourceTheCommandStopsAndSaysWhere) {
  TempDir dir;
  const Outcome r =
      RunXmodemq({"receive", (dir / "f").string(), "--user", "u", "--device", "/nonexistent"},
                 {{"XMODEMQ_PASSWORD", std::nullopt}}, 10s);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("XMODEMQ_PASSWORD"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("--password-file"), std::string::npos) << r.err;
  // It stopped before touching the line.
  EXPECT_EQ(r.err.find("Connexion"), std::string::npos) << r.err;
}

TEST(Password, AFileThatOthersCanReadIsWarnedAbout) {
  TempDir dir;
  WriteFile(dir / "pw", "x\n");
  fs::permissions(dir / "pw", fs::perms::owner_read | fs::perms::owner_write |
                                  fs::perms::group_read | fs::perms::others_read);
  const Outcome r = RunXmodemq({"receive", (dir / "f").string(), "--user", "u", "--password-file",
                                (dir / "pw").string(), "--device", (dir / "absent").string()},
                               {}, 20s);
  EXPECT_NE(r.err.find("lisible par d'autres utilisateurs"), std::string::npos) << r.err;
  EXPECT_EQ(r.status, 1) << r.err;
}

TEST(Password, AnUnreadablePasswordFileIsAClearError) {
  TempDir dir;
  const Outcome r = RunXmodemq({"receive", (dir / "f").string(), "--user", "u", "--password-file",
                                (dir / "absent").string()},
                               {}, 10s);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("fichier de mot de passe"), std::string::npos) << r.err;
}

std::string ReadCmdline(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(Password, NeverOnTheCommandLineNorInAnythingPrinted) {
  TempDir dir;
  fs::create_directories(dir / "server");
  WriteFile(dir / "pw", std::string(kSecret) + "\n");
  fs::permissions(dir / "pw", fs::perms::owner_read | fs::perms::owner_write);
  WriteFile(dir / "FACT0004.TXT", BillingRecords(5, 3));
  Simulator sim(dir, {"--store", (dir / "server").string()});

  Process client(
      {XMODEMQ_PATH, "send", (dir / "FACT0004.TXT").string(), "--user", "PS0001", "--password-file",
       (dir / "pw").string(), "--device", sim.Link(), "--trace", "--progress"},
      {{"XMODEMQ_PASSWORD", std::nullopt}});
  // Look at its command line while it runs (once it has left fork for exec).
  std::string cmdline;
  const auto deadline = Clock::now() + 10s;
  bool running = true;
  while (running && Clock::now() < deadline &&
         cmdline.find("--password-file") == std::string::npos) {
    cmdline = ReadCmdline(client.Pid());
    running = client.Pump(5ms);
  }
  EXPECT_NE(cmdline.find("--password-file"), std::string::npos);
  EXPECT_EQ(cmdline.find(kSecret), std::string::npos);
  const Outcome r = client.Wait(30s);
  EXPECT_NE(r.err.find("Connecté"), std::string::npos) << r.err;
  EXPECT_EQ(r.All().find(kSecret), std::string::npos) << r.All();
  const Outcome s = sim.Stop();
  EXPECT_EQ(s.All().find(kSecret), std::string::npos);
}

TEST(Password, ThePromptDoesNotEchoAndPutsTheTerminalBack) {
  TempDir dir;
  Terminal term({XMODEMQ_PATH, "receive", (dir / "f").string(), "--user", "u", "--device",
                 (dir / "absent").string()},
                {{"XMODEMQ_PASSWORD", std::nullopt}});
  ASSERT_TRUE(term.ReadUntil("Mot de passe : ", 10s)) << term.Screen();
  // Echo is off once the prompt shows... give the prompt its settings first.
  const auto deadline = Clock::now() + 5s;
  while (term.EchoOn() && Clock::now() < deadline) term.ReadUntil("\x01never", 10ms);
  EXPECT_FALSE(term.EchoOn());
  term.Type(std::string(kSecret) + "\r");
  EXPECT_EQ(term.Wait(20s), 1);
  EXPECT_NE(term.Screen().find("Connexion impossible"), std::string::npos) << term.Screen();
  EXPECT_EQ(term.Screen().find(kSecret), std::string::npos) << term.Screen();
  EXPECT_TRUE(term.EchoOn());
}

TEST(Password, CtrlCAtThePromptPutsTheTerminalBack) {
  TempDir dir;
  Terminal term({XMODEMQ_PATH, "receive", (dir / "f").string(), "--user", "u", "--device",
                 (dir / "absent").string()},
                {{"XMODEMQ_PASSWORD", std::nullopt}});
  ASSERT_TRUE(term.ReadUntil("Mot de passe : ", 10s)) << term.Screen();
  const auto deadline = Clock::now() + 5s;
  while (term.EchoOn() && Clock::now() < deadline) term.ReadUntil("\x01never", 10ms);
  ASSERT_FALSE(term.EchoOn());
  term.Type("abc\x03");
  EXPECT_EQ(term.Wait(10s), 128 + SIGINT);
  EXPECT_TRUE(term.EchoOn());
  EXPECT_TRUE(fs::is_empty(dir.Path()));
}

}  // namespace
}  // namespace xmodemq::test
