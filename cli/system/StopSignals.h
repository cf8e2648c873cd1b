#pragma once

#include <csignal>

namespace xmodemq {

// Broken off by a signal, the command returns this + its number, as a shell
// reports a command killed by it: 129 SIGHUP, 130 SIGINT, 143 SIGTERM.
inline constexpr int kSignalExitBase = 128;

// The command's one hold on the signals that ask it to stop: SIGINT (Ctrl-C),
// SIGTERM and SIGHUP (its terminal closed). While an object lives, the first
// of them is noted instead of ending the process, so that the work in hand
// stops in order and removes what it was writing; SIGPIPE is ignored, so that
// a closed stderr pipe cannot end it halfway. A hook may run in the handler
// itself, after the note, for what cannot wait for the next check: it must be
// async-signal-safe (a lock-free abort request, tcsetattr()). The previous
// handlers and hook come back with the object, so holds nest.
class StopSignals {
 public:
  using Hook = void (*)(int signo);

  explicit StopSignals(Hook hook = nullptr);
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // The first signal noted since the outermost hold began, or 0.
  static int Pending();
  // The command's exit status for it: kSignalExitBase + the signal.
  static int ExitCode() { return kSignalExitBase + Pending(); }

 private:
  struct sigaction old_int_ {};
  struct sigaction old_term_ {};
  struct sigaction old_hup_ {};
  struct sigaction old_pipe_ {};
  Hook previous_hook_ = nullptr;
};

}  // namespace xmodemq
