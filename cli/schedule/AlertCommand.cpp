#include "schedule/AlertCommand.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <thread>

#include "system/FileErrors.h"

extern char** environ;

namespace xmodemq {
namespace {

// Waits for `pid` until `deadline`; its wait status, or nothing when it still runs.
std::optional<int> WaitUntil(pid_t pid, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    int status = 0;
    const pid_t got = ::waitpid(pid, &status, WNOHANG);
    if (got == pid) return status;
    if (got < 0 && errno != EINTR) return 0;
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace

std::string RunAlertCommand(const std::vector<std::string>& argv,
                            const std::map<std::string, std::string>& env,
                            std::chrono::milliseconds limit) {
  if (argv.empty()) return "aucune commande";
  std::map<std::string, std::string> all;
  for (char** e = environ; *e; ++e) {
    const char* equal = std::strchr(*e, '=');
    if (equal) all[std::string(*e, static_cast<std::size_t>(equal - *e))] = equal + 1;
  }
  for (const auto& [name, value] : env) all[name] = value;
  std::vector<std::string> entries;
  for (const auto& [name, value] : all) entries.push_back(name + "=" + value);
  std::vector<char*> envp, args;
  for (std::string& e : entries) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> words = argv;
  for (std::string& w : words) args.push_back(w.data());
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
  posix_spawnattr_init(&attributes);
  // Its own process group, so that a time-out stops all it started; the
  // signals the command blocks or ignores are not passed on.
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  sigset_t defaults;
  sigfillset(&defaults);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  const int error = ::posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) return "impossible de lancer " + argv[0] + " : " + ErrnoText(error);

  auto status = WaitUntil(pid, std::chrono::steady_clock::now() + limit);
  if (!status) {
    ::kill(-pid, SIGTERM);
    status = WaitUntil(pid, std::chrono::steady_clock::now() + std::chrono::seconds(1));
    if (!status) {
      ::kill(-pid, SIGKILL);
      WaitUntil(pid, std::chrono::steady_clock::now() + std::chrono::seconds(5));
    }
    return "arrêtée après " +
           std::to_string(std::chrono::duration_cast<std::chrono::seconds>(limit).count()) +
           " s (délai dépassé)";
  }
  if (WIFEXITED(*status)) {
    const int code = WEXITSTATUS(*status);
    // posix_spawnp reports a missing program as the child's exit 127.
    if (code == 127) return "introuvable ou impossible à lancer : " + argv[0];
    return code == 0 ? "0" : "code de sortie " + std::to_string(code);
  }
  if (WIFSIGNALED(*status)) return "arrêtée par le signal " + std::to_string(WTERMSIG(*status));
  return "fin inconnue";
}

}  // namespace xmodemq
