#include "schedule/Unattended.h"

#include "journal/Journal.h"
#include "terminal/Timestamps.h"

namespace xmodemq {

Unattended::Unattended(std::string profile, std::string user, SchedulePolicy policy,
                       const JournalPlace& place, const EventLog& log)
    : profile_(std::move(profile)),
      user_(std::move(user)),
      policy_(std::move(policy)),
      log_(log),
      journal_(Journal::Open(place, Journal::Access::kWrite)),
      state_(journal_->LoadCallState(profile_)) {}

Unattended::~Unattended() = default;

Verdict Unattended::Admit(std::time_t now, bool forced) const {
  return xmodemq::Admit(policy_, state_, now, forced);
}

void Unattended::After(CallResult result, const std::string& outcome, std::time_t started,
                       std::time_t ended, const std::string& why, std::size_t held,
                       std::optional<std::time_t> oldest) {
  if (result != CallResult::kNone) {
    NoteCall(state_, policy_, result, outcome, started, ended, why);
    journal_->SaveCallState(profile_, state_);
    if (result == CallResult::kFailed)
      log_.Write({"appel en échec (" + std::to_string(state_.failures) +
                      " de suite) : prochain appel possible le " + LocalTime(*state_.next_call),
                  4,
                  {},
                  "backoff"});
    if (result == CallResult::kAccountRefused)
      log_.Write({"appels arrêtés jusqu'à « xmodemq exchange --resume-calls » : " + why,
                  2,
                  {},
                  "stopped"});
  }
  UpdateAlerts(*journal_, profile_, user_, policy_,
               Conditions(policy_, {held, oldest, state_}, ended), log_, ended);
}

bool Unattended::Resume(std::time_t now) {
  const bool stopped = !state_.stopped.empty();
  state_.stopped.clear();
  state_.failures = 0;
  state_.failing_since.reset();
  state_.next_call.reset();
  journal_->SaveCallState(profile_, state_);
  for (const AlertRecord& alert : journal_->Alerts(profile_, true))
    if (alert.condition == "stopped" || alert.condition == "failing")
      journal_->NoteAlert(alert.id, UtcText(now), alert.command);
  return stopped;
}

}  // namespace xmodemq
