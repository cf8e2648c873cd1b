#include "call/CallStatus.h"

#include <chrono>
#include <vector>

#include "terminal/Progress.h"
#include "terminal/Terminal.h"
#include "terminal/Text.h"

namespace xmodemq {
namespace {

using namespace std::chrono_literals;

// The component's own timings: the pause after the reset, the time allowed
// for the answer to a dial, and the wait that a busy or delayed call brings.
constexpr auto kPauseAfterReset = 1s;
constexpr auto kDialTimeOut = 60s;
constexpr auto kExtendedWait = 105s;

bool StartsWith(const std::string& text, std::string_view prefix) {
  return text.rfind(prefix, 0) == 0;
}

}  // namespace

CallStatus::CallStatus(int32_t attempts, bool has_init)
    : attempts_((attempts > 0 ? attempts : 1) + 1), oks_needed_(has_init ? 2 : 1) {}

void CallStatus::OnTrace(std::string_view text, TimePoint now) {
  for (char c : text) {
    if (c == '\r') continue;
    if (c != '\n') {
      pending_.push_back(c);
      continue;
    }
    if (!pending_.empty()) OnLine(pending_, now);
    pending_.clear();
  }
}

void CallStatus::NextAttempt(TimePoint at, const std::string& why) {
  if (attempt_ >= attempts_) {
    phase_ = Phase::Ended;
    return;
  }
  ++attempt_;
  phase_ = Phase::Dial;
  why_ = why;
  deadline_ = at + kDialTimeOut;
}

void CallStatus::Advance(TimePoint now) {
  // An attempt that ran out of time is followed at once by the next one.
  while ((phase_ == Phase::Dial || phase_ == Phase::Extended) && now >= deadline_)
    NextAttempt(deadline_, "");
}

void CallStatus::OnLine(const std::string& line, TimePoint now) {
  Advance(now);
  // The modem's echo of a command is no answer.
  if (StartsWith(line, "AT")) return;
  if (phase_ != Phase::Reset) last_answer_ = line;
  switch (phase_) {
    case Phase::Reset:
      if (line == "OK" && ++oks_ == oks_needed_) {
        attempt_ = 1;
        phase_ = Phase::Dial;
        deadline_ = now + (oks_needed_ == 1 ? kPauseAfterReset : 0s) + kDialTimeOut;
      }
      break;
    case Phase::Dial:
    case Phase::Extended:
      if (StartsWith(line, "CONNECT")) {
        phase_ = Phase::Connected;
      } else if (line == "BUSY" || StartsWith(line, "DELAYED")) {
        phase_ = Phase::Extended;
        why_ = line == "BUSY" ? "BUSY" : "DELAYED";
        deadline_ = now + kExtendedWait;
      } else if (line == "NO CARRIER" || line == "NO ANSWER") {
        NextAttempt(now, line);
      } else if (line == "NO DIALTONE" || line == "BLACKLISTED" || line == "ERROR") {
        phase_ = Phase::Ended;
      }
      break;
    case Phase::Connected:
    case Phase::Ended:
      break;
  }
}

std::string CallStatus::State() const {
  switch (phase_) {
    case Phase::Reset:
      return "Initialisation du modem…";
    case Phase::Dial:
      if (attempt_ <= 1) return "Appel du serveur…";
      return (why_.empty() ? std::string("Appel sans réponse") : "« " + why_ + " »") +
             ", nouvel essai (" + std::to_string(attempt_) + " sur " + std::to_string(attempts_) +
             ")…";
    case Phase::Extended:
      return why_ == "BUSY" ? "Ligne occupée (BUSY) : le modem attend"
                            : "Appel différé (DELAYED) : le modem attend";
    case Phase::Connected:
      return "Connecté (" + last_answer_ + ").";
    case Phase::Ended:
      // The failure is reported with the component's error record.
      return {};
  }
  return {};
}

std::string CallStatus::Line(TimePoint now, std::size_t columns) {
  Advance(now);
  if (phase_ == Phase::Reset && Columns(State()) > columns)
    return FitColumns("Initialisation…", columns);
  if (phase_ == Phase::Connected && Columns(State()) > columns)
    return FitColumns("Connecté.", columns);
  if (phase_ != Phase::Dial && phase_ != Phase::Extended) return FitColumns(State(), columns);
  const auto left = std::chrono::ceil<std::chrono::seconds>(deadline_ - now).count();
  const std::string count = Progress::FormatDuration(static_cast<double>(left < 0 ? 0 : left));
  const std::string turn = std::to_string(attempt_) + "/" + std::to_string(attempts_);
  std::vector<std::string> wordings;
  if (phase_ == Phase::Extended) {
    const std::string busy = why_ == "BUSY" ? "Ligne occupée (BUSY)" : "Appel différé (DELAYED)";
    wordings = {State() + " encore " + count, busy + " : encore " + count,
                why_ + " : encore " + count, why_ + " " + count};
  } else if (attempt_ <= 1) {
    wordings = {State() + " réponse attendue sous " + count, "Appel du serveur… sous " + count,
                "Appel… " + count};
  } else {
    wordings = {State() + " sous " + count,
                "Nouvel essai (" + std::to_string(attempt_) + " sur " + std::to_string(attempts_) +
                    ")… sous " + count,
                "Essai " + turn + "… " + count, turn + "… " + count};
  }
  for (const std::string& line : wordings)
    if (Columns(line) <= columns) return line;
  return FitColumns(count, columns);
}

std::string CallStatus::TakeChange(TimePoint now) {
  Advance(now);
  std::string state = State();
  if (phase_ == Phase::Extended) state += " jusqu'à " + Progress::FormatDuration(105);
  if (state.empty() || state == shown_) return {};
  shown_ = state;
  return state;
}

}  // namespace xmodemq
