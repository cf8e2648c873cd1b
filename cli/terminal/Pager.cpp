#include "terminal/Pager.h"

#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <string_view>

namespace xmodemq {
namespace {

bool OnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string_view folders = path != nullptr ? path : "/usr/bin:/bin";
  while (!folders.empty()) {
    const auto colon = folders.find(':');
    const std::string folder(folders.substr(0, colon));
    if (!folder.empty() && ::access((folder + "/" + program).c_str(), X_OK) == 0) return true;
    folders = colon == std::string_view::npos ? std::string_view() : folders.substr(colon + 1);
  }
  return false;
}

}  // namespace

std::string PagerCommand() {
  if (const char* pager = std::getenv("PAGER")) {
    const std::string chosen = pager;
    return chosen == "cat" ? std::string() : chosen;
  }
  return OnPath("less") ? "less -FRX" : "";
}

Pager::Pager(bool no_pager) {
  if (no_pager || ::isatty(STDOUT_FILENO) != 1) return;
  const std::string command = PagerCommand();
  if (command.empty()) return;
  std::fflush(stdout);
  // A pager that the user quits before the end closes the pipe: the rest is
  // dropped, not a signal.
  std::signal(SIGPIPE, SIG_IGN);
  pipe_ = ::popen(command.c_str(), "w");
}

Pager::~Pager() {
  if (pipe_ != nullptr) ::pclose(pipe_);
}

}  // namespace xmodemq
