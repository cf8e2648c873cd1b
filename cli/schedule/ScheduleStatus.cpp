#include "schedule/ScheduleStatus.h"

#include "journal/Journal.h"
#include "system/FileErrors.h"
#include "terminal/Text.h"
#include "terminal/Timestamps.h"

namespace xmodemq {
namespace {

const char* AdmissionName(Admission admission) {
  switch (admission) {
    case Admission::kCall:
      return "call";
    case Admission::kOutsideWindows:
      return "outside_windows";
    case Admission::kBackingOff:
      return "backing_off";
    case Admission::kDayFull:
      return "day_full";
    case Admission::kStopped:
      return "stopped";
  }
  return "call";
}

std::optional<std::string> Some(const std::string& text) {
  return text.empty() ? std::nullopt : std::optional(text);
}

}  // namespace

ScheduleStatus ReadScheduleStatus(const std::string& profile,
                                  const std::optional<std::string>& journal,
                                  const SchedulePolicy& policy, std::time_t now) {
  ScheduleStatus status;
  status.max_calls_per_day = policy.max_calls_per_day;
  status.windows = policy.window_texts;
  try {
    if (const auto place = ChooseJournal(journal, false))
      if (const auto open = Journal::Open(*place, Journal::Access::kRead)) {
        status.state = open->LoadCallState(profile);
        status.alerts = open->Alerts(profile, true);
      }
  } catch (const std::exception& e) {
    status.error = e.what();
  }
  status.verdict = Admit(policy, status.state, now, false);
  return status;
}

void ScheduleStatus::AddTo(JsonObject& json) const {
  std::string open;
  for (const AlertRecord& a : alerts)
    open += (open.empty() ? "" : "\n") + a.condition + " : " + a.detail;
  const bool today = !state.calls_day.empty() && state.calls_day == LocalDayOf(WallNow());
  json.Add("calls_now", AdmissionName(verdict.admission))
      .Add("calls_now_why", verdict.why)
      .Add("last_call", state.last_call)
      .Add("last_call_result", Some(state.last_result))
      .Add("failures_in_row", state.failures)
      .Add("failing_since", state.failing_since)
      .Add("next_call", state.next_call)
      .Add("calls_today", today ? state.calls_today : std::int64_t{0})
      .Add("max_calls_per_day", static_cast<std::int64_t>(max_calls_per_day))
      .Add("calls_stopped", Some(state.stopped))
      .Add("alerts_open", static_cast<std::int64_t>(alerts.size()))
      .Add("alerts", open);
  if (!error.empty()) json.Add("schedule_error", error);
}

std::string ScheduleStatus::Text() const {
  std::string text;
  if (!error.empty()) return "Calendrier illisible : " + Visible(error) + "\n";
  if (!windows.empty()) {
    text += "Fenêtres d'appel :";
    for (const std::string& w : windows) text += " « " + w + " »";
    text += "\n";
  }
  if (state.last_call)
    text +=
        "Dernier appel compté : " + LocalTime(*state.last_call) + " (" + state.last_result + ")\n";
  const bool today = !state.calls_day.empty() && state.calls_day == LocalDayOf(WallNow());
  text += "Appels aujourd'hui : " + std::to_string(today ? state.calls_today : 0) + " sur " +
          std::to_string(max_calls_per_day) + "\n";
  if (state.failures > 0 && state.failing_since)
    text += "Échecs d'appel de suite : " + std::to_string(state.failures) + ", depuis le " +
            LocalTime(*state.failing_since) + "\n";
  if (state.next_call) text += "Prochain appel possible : " + LocalTime(*state.next_call) + "\n";
  if (!state.stopped.empty()) text += "APPELS ARRÊTÉS : " + Visible(state.stopped) + "\n";
  text += verdict.admission == Admission::kCall ? "Un échange maintenant appellerait.\n"
                                                : "Maintenant : " + Visible(verdict.why) + "\n";
  text += "Alertes ouvertes : " + std::to_string(alerts.size()) + "\n";
  for (const AlertRecord& a : alerts)
    text +=
        "  " + a.condition + " depuis le " + LocalTime(a.opened) + " : " + Visible(a.detail) + "\n";
  return text;
}

}  // namespace xmodemq
