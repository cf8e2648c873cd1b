#pragma once

#include <csignal>

namespace xmodemq {

// While the object lives, SIGINT, SIGTERM and SIGHUP are noted instead of
// ending the process, so that the work in hand can stop in order and remove
// what it was writing. The previous handlers come back with it.
class NotedSignals {
 public:
  NotedSignals();
  ~NotedSignals();
  NotedSignals(const NotedSignals&) = delete;
  NotedSignals& operator=(const NotedSignals&) = delete;

  // The signal noted, or 0.
  static int Pending();

 private:
  struct sigaction old_int_ {};
  struct sigaction old_term_ {};
  struct sigaction old_hup_ {};
};

}  // namespace xmodemq
