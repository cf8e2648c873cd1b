#include "system/StopSignals.h"

#include <atomic>

namespace xmodemq {
namespace {

std::atomic<int> g_pending{0};
std::atomic<StopSignals::Hook> g_hook{nullptr};
std::atomic<int> g_holds{0};
static_assert(std::atomic<int>::is_always_lock_free);
static_assert(std::atomic<StopSignals::Hook>::is_always_lock_free);

extern "C" void NoteStop(int signo) {
  int none = 0;
  g_pending.compare_exchange_strong(none, signo);
  if (StopSignals::Hook hook = g_hook.load()) hook(signo);
}

}  // namespace

StopSignals::StopSignals(Hook hook) : previous_hook_(g_hook.exchange(hook)) {
  if (g_holds.fetch_add(1) == 0) g_pending.store(0);
  struct sigaction action {};
  action.sa_handler = NoteStop;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, &old_int_);
  ::sigaction(SIGTERM, &action, &old_term_);
  ::sigaction(SIGHUP, &action, &old_hup_);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGPIPE, &ignore, &old_pipe_);
}

StopSignals::~StopSignals() {
  ::sigaction(SIGINT, &old_int_, nullptr);
  ::sigaction(SIGTERM, &old_term_, nullptr);
  ::sigaction(SIGHUP, &old_hup_, nullptr);
  ::sigaction(SIGPIPE, &old_pipe_, nullptr);
  g_hook.store(previous_hook_);
  g_holds.fetch_sub(1);
}

int StopSignals::Pending() {
  return g_pending.load();
}

}  // namespace xmodemq
