// The daily exchange's cost.
//
// 1. One call: `xmodemq exchange` sends `files` two-record files and fetches
//    `returns` returns through `xmodemq simulate` at full speed (no pacing),
//    timed from start to exit.
// 2. The spool's own work per file, in-process, in the same folder: each
//    file planned (checked and digested as a send is), moved to
//    sent/YYYY-MM-DD/ (renamed, both folders synced) and its journal row
//    refiled; the peer is the least a durable move costs, a rename and an
//    fsync of the folder.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "exchange/ExchangePlan.h"
#include "exchange/Profile.h"
#include "exchange/Spool.h"
#include "journal/Journal.h"
#include "system/ProcessIdentity.h"
#include "terminal/Timestamps.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

void Write(const fs::path& path, const std::string& text, fs::perms perms = fs::perms(0600)) {
  std::ofstream(path, std::ios::binary) << text;
  fs::permissions(path, perms);
}

// Started with its output and errors discarded (the simulator tells each
// transfer).
pid_t Spawn(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  ::posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) std::abort();
  ::posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int Wait(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string Bill(int i) {
  std::string text(256, ' ');
  const std::string id = "FACTURE " + std::to_string(i);
  text.replace(0, id.size(), id);
  return text;
}

void Drop(const fs::path& outbox, int files) {
  for (int i = 0; i < files; ++i)
    Write(outbox / ("F" + std::to_string(100000 + i) + ".TXT"), Bill(i));
  // Old enough to be complete.
  const auto old = fs::file_time_type::clock::now() - std::chrono::hours(1);
  for (const auto& e : fs::directory_iterator(outbox)) fs::last_write_time(e.path(), old);
}

}  // namespace

int main(int argc, char** argv) {
  const int files = argc > 1 ? std::atoi(argv[1]) : 500;
  const int returns = argc > 2 ? std::atoi(argv[2]) : 20;
  char pattern[] = "/tmp/exchange-bench-XXXXXX";
  const fs::path dir = ::mkdtemp(pattern);
  fs::create_directories(dir / "store");
  fs::permissions(dir / "store", fs::perms(0700));
  fs::create_directories(dir / "spool/outbox");
  fs::permissions(dir / "spool", fs::perms(0700));
  fs::permissions(dir / "spool/outbox", fs::perms(0700));
  std::string fetch;
  for (int i = 0; i < returns; ++i) {
    Write(dir / "store" / ("RET" + std::to_string(i)), Bill(i));
    fetch += (i ? ", " : "") + std::string("\"RET") + std::to_string(i) + "\"";
  }
  Write(dir / "pw", "secret\n");
  Write(dir / "profile.toml", "user = \"PS0001\"\npassword_file = \"pw\"\nlines = [\"" +
                                  (dir / "modem").string() +
                                  "\"]\nspool = \"spool\"\nsettle = \"0s\"\nfetch = [" + fetch +
                                  "]\njournal = \"journal.sqlite\"\n");
  Drop(dir / "spool/outbox", files);

  // 1. The whole call.
  const pid_t sim = Spawn({XMODEMQ_PATH, "simulate", "--link", (dir / "modem").string(), "--store",
                           (dir / "store").string()});
  while (!fs::exists(dir / "modem")) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const auto start = Clock::now();
  const int status = Wait(
      Spawn({XMODEMQ_PATH, "exchange", "--profile", (dir / "profile.toml").string(), "--quiet"}));
  const double call = Seconds(Clock::now() - start);
  ::kill(sim, SIGTERM);
  Wait(sim);
  std::printf("one call: %d files sent, %d returns fetched in %.2f s (exit %d): %.2f ms a file\n",
              files, returns, call, status, 1000 * call / (files + returns));

  // 2. The spool's work per file, then the peer, in the same folder.
  fs::create_directories(dir / "b/spool/outbox");
  fs::permissions(dir / "b/spool", fs::perms(0700));
  Drop(dir / "b/spool/outbox", files);
  const xmodemq::Spool spool = xmodemq::Spool::Open((dir / "b/spool").string());
  xmodemq::Profile profile;
  profile.user = "PS0001";
  profile.settle = std::chrono::seconds(0);
  auto journal = xmodemq::Journal::Open({(dir / "b/journal.sqlite").string()},
                                        xmodemq::Journal::Access::kWrite);
  const auto own_start = Clock::now();
  const xmodemq::OutboxPlan plan =
      xmodemq::PlanOutbox(spool, profile, std::chrono::system_clock::now());
  for (std::size_t i = 0; i < plan.send.size(); ++i)
    journal->Refile(static_cast<std::int64_t>(i + 1), spool.MoveToSent(plan.send[i], "2024-05-02"));
  const double own = Seconds(Clock::now() - own_start);

  fs::create_directories(dir / "p/from");
  fs::create_directories(dir / "p/to");
  Drop(dir / "p/from", files);
  const int to = ::open((dir / "p/to").c_str(), O_RDONLY | O_DIRECTORY);
  const auto peer_start = Clock::now();
  for (const auto& e : fs::directory_iterator(dir / "p/from")) {
    fs::rename(e.path(), dir / "p/to" / e.path().filename());
    ::fsync(to);
  }
  const double peer = Seconds(Clock::now() - peer_start);
  ::close(to);
  std::printf("spool's own work: %.3f ms a file; rename+fsync: %.3f ms a file; ratio %.2f\n",
              1000 * own / files, 1000 * peer / files, own / peer);
  fs::remove_all(dir);
  return status == 0 ? 0 : 1;
}
