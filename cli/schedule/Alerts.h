#pragma once

#include <cstddef>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "journal/CallState.h"
#include "schedule/CallSchedule.h"
#include "schedule/EventLog.h"

namespace xmodemq {

class Journal;

// A condition that needs a person, by its name (XMODEMQ_ALERT): "held"
// (files in held/), "failing" (calls failing for longer than alert_after),
// "outbox_age" (the outbox's oldest file older than alert_age), "stopped"
// (calls stopped until a person resumes them).
struct Condition {
  std::string name;
  std::string detail;
};

// What the conditions are judged on.
struct AlertFacts {
  std::size_t held = 0;
  // The outbox's oldest complete file, when it has one.
  std::optional<std::time_t> oldest;
  CallState state;
};

// The conditions true at `now`, in a fixed order.
std::vector<Condition> Conditions(const SchedulePolicy& policy, const AlertFacts& facts,
                                  std::time_t now);

// Brings the journal's alerts of `profile` to `conditions`: a condition not
// open yet is recorded and the alert command runs once for it (its
// environment: XMODEMQ_ALERT, XMODEMQ_PROFILE, XMODEMQ_USER,
// XMODEMQ_DETAIL, XMODEMQ_SINCE); an open one that no longer holds is
// closed. Its failure is logged, never thrown. Throws JournalError.
void UpdateAlerts(Journal& journal, const std::string& profile, const std::string& user,
                  const SchedulePolicy& policy, const std::vector<Condition>& conditions,
                  const EventLog& log, std::time_t now);

}  // namespace xmodemq
