#include "schedule/Alerts.h"

#include <algorithm>

#include "journal/Journal.h"
#include "schedule/AlertCommand.h"
#include "terminal/Text.h"
#include "terminal/Timestamps.h"

namespace xmodemq {
namespace {

std::string Hours(std::chrono::seconds span) {
  const auto hours = std::chrono::duration_cast<std::chrono::hours>(span).count();
  return hours >= 1
             ? std::to_string(hours) + " h"
             : std::to_string(std::chrono::duration_cast<std::chrono::minutes>(span).count()) +
                   " min";
}

}  // namespace

std::vector<Condition> Conditions(const SchedulePolicy& policy, const AlertFacts& facts,
                                  std::time_t now) {
  std::vector<Condition> open;
  if (facts.held > 0)
    open.push_back({"held", std::to_string(facts.held) +
                                " fichier(s) retenu(s) dans held/ : voir leur .raison"});
  // failing_since is set while calls fail in a row, and only then.
  if (facts.state.failing_since) {
    const auto since = ParseUtc(*facts.state.failing_since);
    if (since && now - *since >= policy.alert_after.count())
      open.push_back({"failing", std::to_string(facts.state.failures) +
                                     " appel(s) en échec de suite depuis le " +
                                     LocalTime(*facts.state.failing_since) + " (plus de " +
                                     Hours(policy.alert_after) + ")"});
  }
  if (facts.oldest && now - *facts.oldest >= policy.alert_age.count())
    open.push_back({"outbox_age", "le plus ancien fichier d'outbox/ attend depuis le " +
                                      LocalTime(UtcText(*facts.oldest)) + " (plus de " +
                                      Hours(policy.alert_age) + ")"});
  if (!facts.state.stopped.empty())
    open.push_back({"stopped", "appels arrêtés : " + facts.state.stopped +
                                   " ; reprise par « xmodemq exchange --resume-calls »"});
  return open;
}

void UpdateAlerts(Journal& journal, const std::string& profile, const std::string& user,
                  const SchedulePolicy& policy, const std::vector<Condition>& conditions,
                  const EventLog& log, std::time_t now) {
  const std::string when = UtcText(now);
  const std::vector<AlertRecord> open = journal.Alerts(profile, true);
  for (const AlertRecord& alert : open) {
    const bool holds = std::any_of(conditions.begin(), conditions.end(),
                                   [&](const Condition& c) { return c.name == alert.condition; });
    if (holds) continue;
    journal.NoteAlert(alert.id, when, alert.command);
    log.Write(
        {"alerte levée : " + alert.condition + " (ouverte le " + LocalTime(alert.opened) + ")",
         5,
         {},
         "alert_closed"});
  }
  for (const Condition& condition : conditions) {
    const bool known = std::any_of(open.begin(), open.end(), [&](const AlertRecord& a) {
      return a.condition == condition.name;
    });
    if (known) continue;
    AlertRecord alert{0, condition.name, condition.detail, when, std::nullopt, {}};
    // Recorded first: a run killed while the command runs does not alert twice.
    alert.id = journal.OpenAlert(profile, alert);
    if (alert.id == 0) continue;
    log.Write({"alerte " + condition.name + " : " + condition.detail, 4, {}, "alert"});
    if (policy.alert.empty()) continue;
    alert.command = RunAlertCommand(policy.alert,
                                    {{"XMODEMQ_ALERT", condition.name},
                                     {"XMODEMQ_PROFILE", profile},
                                     {"XMODEMQ_USER", user},
                                     {"XMODEMQ_DETAIL", Visible(condition.detail)},
                                     {"XMODEMQ_SINCE", when}},
                                    policy.alert_timeout);
    journal.NoteAlert(alert.id, std::nullopt, alert.command);
    if (alert.command != "0")
      log.Write({"la commande d'alerte (" + policy.alert.front() + ") a échoué : " + alert.command,
                 3,
                 {},
                 "alert_failed"});
  }
}

}  // namespace xmodemq
