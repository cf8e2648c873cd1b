#include "NotedSignals.h"

#include <atomic>

namespace xmodemq {
namespace {

std::atomic<int> g_noted{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void Note(int signo) {
  g_noted.store(signo);
}

}  // namespace

NotedSignals::NotedSignals() {
  g_noted.store(0);
  struct sigaction action {};
  action.sa_handler = Note;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, &old_int_);
  ::sigaction(SIGTERM, &action, &old_term_);
  ::sigaction(SIGHUP, &action, &old_hup_);
}

NotedSignals::~NotedSignals() {
  ::sigaction(SIGINT, &old_int_, nullptr);
  ::sigaction(SIGTERM, &old_term_, nullptr);
  ::sigaction(SIGHUP, &old_hup_, nullptr);
}

int NotedSignals::Pending() {
  return g_noted.load();
}

}  // namespace xmodemq
