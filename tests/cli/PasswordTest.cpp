#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <fstream>

#include <gtest/gtest.h>

#include "Processes.h"

namespace xmodemq::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kSecret = "Zq7-motdepasse";

TEST(Password, WithoutAnySourceTheCommandStopsAndSaysWhere) {
  const Outcome r = RunXmodemq({"send", "f", "--user", "u", "--device", "/nonexistent"},
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
  const Outcome r = RunXmodemq({"send", "f", "--user", "u", "--password-file",
                                (dir / "pw").string(), "--device", (dir / "absent").string()},
                               {}, 20s);
  EXPECT_NE(r.err.find("lisible par d'autres utilisateurs"), std::string::npos) << r.err;
  EXPECT_EQ(r.status, 1) << r.err;
}

TEST(Password, AnUnreadablePasswordFileIsAClearError) {
  TempDir dir;
  const Outcome r = RunXmodemq(
      {"receive", "f", "--user", "u", "--password-file", (dir / "absent").string()}, {}, 10s);
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

// The command run on a terminal, as a user at a keyboard would.
class OnTerminal {
 public:
  explicit OnTerminal(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    char name[128] = {};
    pid_ = ::forkpty(&master_, name, nullptr, nullptr);
    if (pid_ < 0) throw std::runtime_error("forkpty");
    if (pid_ == 0) {
      ::unsetenv("XMODEMQ_PASSWORD");
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    // Held open so that the terminal's settings can still be read at the end.
    slave_ = ::open(name, O_RDWR | O_NOCTTY);
  }
  ~OnTerminal() {
    if (!ended_) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
    ::close(master_);
    if (slave_ >= 0) ::close(slave_);
  }

  // Reads until `text` shows or `limit` passes.
  bool ReadUntil(const std::string& text, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (screen_.find(text) == std::string::npos) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char buffer[512];
      const ssize_t n = ::read(master_, buffer, sizeof buffer);
      if (n <= 0) return screen_.find(text) != std::string::npos;
      screen_.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
  }
  void Type(const std::string& keys) {
    ASSERT_EQ(::write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }
  bool EchoOn() {
    termios t{};
    EXPECT_EQ(::tcgetattr(slave_, &t), 0);
    return (t.c_lflag & ECHO) != 0;
  }
  int Wait(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    int status = 0;
    while (Clock::now() < deadline) {
      ReadUntil("\x01never", 20ms);
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        ended_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
    }
    return -1;
  }
  const std::string& Screen() const { return screen_; }

 private:
  pid_t pid_ = -1;
  int master_ = -1;
  int slave_ = -1;
  bool ended_ = false;
  std::string screen_;
};

TEST(Password, ThePromptDoesNotEchoAndPutsTheTerminalBack) {
  TempDir dir;
  OnTerminal term({XMODEMQ_PATH, "receive", (dir / "f").string(), "--user", "u", "--device",
                   (dir / "absent").string()});
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
  OnTerminal term({XMODEMQ_PATH, "send", (dir / "f").string(), "--user", "u", "--device",
                   (dir / "absent").string()});
  ASSERT_TRUE(term.ReadUntil("Mot de passe : ", 10s)) << term.Screen();
  const auto deadline = Clock::now() + 5s;
  while (term.EchoOn() && Clock::now() < deadline) term.ReadUntil("\x01never", 10ms);
  ASSERT_FALSE(term.EchoOn());
  term.Type("abc\x03");
  EXPECT_EQ(term.Wait(10s), 128 + SIGINT);
  EXPECT_TRUE(term.EchoOn());
  EXPECT_FALSE(fs::exists(dir / "f"));
}

}  // namespace
}  // namespace xmodemq::test
