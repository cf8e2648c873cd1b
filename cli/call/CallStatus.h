#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "xmodemquarvel/Clock.h"

namespace xmodemq {

// What a call is doing, read from the modem's answer lines as the component
// traces them during Connect: the reset, the dial with the time its answer is
// still awaited, a busy line and the longer wait it brings, a new attempt, the
// connection. It does no I/O: the caller feeds it the trace and the time and
// shows what it says.
class CallStatus {
 public:
  using TimePoint = xmodemquarvel::Clock::TimePoint;

  // `attempts` and whether there is an initialisation string, as given to
  // Connect.
  CallStatus(int32_t attempts, bool has_init);

  // Text appended to the trace, in pieces of any size.
  void OnTrace(std::string_view text, TimePoint now);
  // The state with its countdown ("Appel du serveur… réponse attendue sous
  // 57 s"), brought up to `now`, in at most `columns` columns: a narrower
  // room gets a shorter wording, and the countdown is the last thing to go.
  std::string Line(TimePoint now, std::size_t columns = SIZE_MAX);
  // The state without its countdown, once each time it changes (for a log);
  // empty when it has not changed since the last call.
  std::string TakeChange(TimePoint now);
  // Whether the dial was reached, and the modem's last answer line to it, in
  // full ("CONNECT 9600"); empty when it answered nothing.
  bool Dialled() const { return attempt_ > 0; }
  const std::string& LastAnswer() const { return last_answer_; }

 private:
  enum class Phase { Reset, Dial, Extended, Connected, Ended };

  void OnLine(const std::string& line, TimePoint now);
  void Advance(TimePoint now);
  void NextAttempt(TimePoint at, const std::string& why);
  std::string State() const;

  int32_t attempts_;
  int32_t oks_needed_;
  int32_t oks_ = 0;
  int32_t attempt_ = 0;
  Phase phase_ = Phase::Reset;
  TimePoint deadline_{};
  // Why the current attempt is not the first ("NO CARRIER", no answer...),
  // and what extended the wait ("BUSY", "DELAYED").
  std::string why_;
  std::string last_answer_;
  std::string pending_;
  std::string shown_;
};

}  // namespace xmodemq
