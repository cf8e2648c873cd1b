#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "xmodemquarvel/WaitState.h"

namespace xmodemq {

// What a call is doing while Connect runs: the reset, the dial with the time
// its answer is still awaited, a busy line and the longer wait it brings, a
// new attempt, the connection. The phase, the attempt and the time left are
// the component's own (ModuleXmodem::CurrentWait()); the modem's answer lines
// in the trace only give the words shown ("BUSY", "NO CARRIER", "CONNECT
// 9600"). It does no I/O: the caller feeds it and shows what it says.
class CallStatus {
 public:
  using WaitState = xmodemquarvel::WaitState;

  // Text appended to the trace, in pieces of any size, with the wait that
  // runs meanwhile.
  void OnTrace(std::string_view text, const WaitState& wait);
  // The state with its countdown ("Appel du serveur… réponse attendue sous
  // 57 s"), in at most `columns` columns: a narrower room gets a shorter
  // wording, and the countdown is the last thing to go.
  std::string Line(const WaitState& wait, std::size_t columns = SIZE_MAX);
  // The state without its countdown, once each time it changes (for a log);
  // empty when it has not changed since the last call.
  std::string TakeChange(const WaitState& wait);
  // Whether the dial was reached, and the modem's last answer line to it, in
  // full ("CONNECT 9600"); empty when it answered nothing.
  bool Dialled() const { return attempt_ > 0; }
  const std::string& LastAnswer() const { return last_answer_; }

 private:
  enum class Phase { Reset, Dial, Extended, Connected, Ended };

  void Observe(const WaitState& wait);
  void OnLine(const std::string& line);
  std::string State() const;

  Phase phase_ = Phase::Reset;
  int32_t attempt_ = 0;
  int32_t attempts_ = 0;
  std::optional<xmodemquarvel::Clock::Duration> remaining_;
  // The answer to this attempt so far, and why the current attempt is not the
  // first ("NO CARRIER"; empty: the last one got no answer in time).
  std::string answer_;
  std::string why_;
  // How long a busy or delayed call waits, as first seen.
  std::optional<int64_t> extension_seconds_;
  std::string last_answer_;
  std::string pending_;
  std::string shown_;
};

}  // namespace xmodemq
