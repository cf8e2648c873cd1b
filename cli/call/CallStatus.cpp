#include "call/CallStatus.h"

#include <chrono>
#include <vector>

#include "terminal/Progress.h"
#include "terminal/Text.h"

namespace xmodemq {
namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// The modem's answers that end an attempt and bring the next one.
bool EndsAttempt(const std::string& answer) {
  return answer == "NO CARRIER" || answer == "NO ANSWER" || answer == "BUSY";
}

}  // namespace

void CallStatus::OnTrace(std::string_view text, const WaitState& wait) {
  Observe(wait);
  for (char c : text) {
    if (c == '\r') continue;
    if (c != '\n') {
      pending_.push_back(c);
      continue;
    }
    if (!pending_.empty()) OnLine(pending_);
    pending_.clear();
  }
}

void CallStatus::Observe(const WaitState& wait) {
  if (wait.awaiting == WaitState::Awaiting::kNothing) {
    // Connect returned: connected, or failed (the failure has its own words).
    if (phase_ == Phase::Dial || phase_ == Phase::Extended)
      phase_ = StartsWith(last_answer_, "CONNECT") ? Phase::Connected : Phase::Ended;
    remaining_.reset();
    return;
  }
  if (wait.awaiting != WaitState::Awaiting::kModem || !StartsWith(wait.sent, "ATD")) {
    // The reset, the initialisation string and the pause between them.
    if (attempt_ == 0) phase_ = Phase::Reset;
    return;
  }
  if (wait.attempt != attempt_) {
    why_ = EndsAttempt(answer_) ? answer_ : "";
    answer_.clear();
    extension_seconds_.reset();
    attempt_ = wait.attempt;
  }
  attempts_ = wait.attempts;
  remaining_ = wait.remaining;
  if (phase_ == Phase::Ended || phase_ == Phase::Connected) return;
  const bool extended = answer_ == "BUSY" || StartsWith(answer_, "DELAYED");
  phase_ = extended ? Phase::Extended : Phase::Dial;
  if (extended && !extension_seconds_ && remaining_)
    extension_seconds_ = std::chrono::ceil<std::chrono::seconds>(*remaining_).count();
}

void CallStatus::OnLine(const std::string& line) {
  // The modem's echo of a command is no answer, nor is its answer to the reset.
  if (StartsWith(line, "AT") || attempt_ == 0) return;
  last_answer_ = line;
  answer_ = line;
  if (StartsWith(line, "CONNECT")) phase_ = Phase::Connected;
  if (line == "NO DIALTONE" || line == "BLACKLISTED" || line == "ERROR") phase_ = Phase::Ended;
}

std::string CallStatus::State() const {
  switch (phase_) {
    case Phase::Reset:
      return "Initialisation du modem…";
    case Phase::Dial:
      if (attempt_ <= 1) return "Appel du serveur…";
      return (why_.empty()     ? std::string("Appel sans réponse")
              : why_ == "BUSY" ? std::string("Ligne occupée (BUSY)")
                               : "« " + why_ + " »") +
             ", nouvel essai (" + std::to_string(attempt_) + " sur " + std::to_string(attempts_) +
             ")…";
    case Phase::Extended:
      return answer_ == "BUSY" ? "Ligne occupée (BUSY) : le modem attend"
                               : "Appel différé (DELAYED) : le modem attend";
    case Phase::Connected:
      return "Connecté (" + last_answer_ + ").";
    case Phase::Ended:
      // The failure is reported with the component's error record.
      return {};
  }
  return {};
}

std::string CallStatus::Line(const WaitState& wait, std::size_t columns) {
  Observe(wait);
  if (phase_ == Phase::Reset && Columns(State()) > columns)
    return FitColumns("Initialisation…", columns);
  if (phase_ == Phase::Connected && Columns(State()) > columns)
    return FitColumns("Connecté.", columns);
  if ((phase_ != Phase::Dial && phase_ != Phase::Extended) || !remaining_)
    return FitColumns(State(), columns);
  const auto left = std::chrono::ceil<std::chrono::seconds>(*remaining_).count();
  const std::string count = Progress::FormatDuration(static_cast<double>(left < 0 ? 0 : left));
  const std::string turn = std::to_string(attempt_) + "/" + std::to_string(attempts_);
  const std::string why = answer_ == "BUSY" ? "BUSY" : "DELAYED";
  std::vector<std::string> wordings;
  if (phase_ == Phase::Extended) {
    const std::string busy = why == "BUSY" ? "Ligne occupée (BUSY)" : "Appel différé (DELAYED)";
    wordings = {State() + " encore " + count, busy + " : encore " + count,
                why + " : encore " + count, why + " " + count};
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

std::string CallStatus::TakeChange(const WaitState& wait) {
  Observe(wait);
  std::string state = State();
  if (phase_ == Phase::Extended && extension_seconds_)
    state += " jusqu'à " + Progress::FormatDuration(static_cast<double>(*extension_seconds_));
  if (state.empty() || state == shown_) return {};
  shown_ = state;
  return state;
}

}  // namespace xmodemq
