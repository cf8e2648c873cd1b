#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "journal/CallState.h"
#include "schedule/CallWindows.h"

namespace xmodemq {

// When an unattended exchange may call, and when it tells a person: the
// profile's windows, back-off, calls per day and alerts
// (xmodemq-exchange.toml(5)).
struct SchedulePolicy {
  // The profile's path, as a person types it to resume the calls.
  std::string profile;
  std::vector<std::string> window_texts;
  std::vector<CallWindow> windows;
  std::chrono::seconds retry_min = std::chrono::minutes(10);
  std::chrono::seconds retry_max = std::chrono::hours(4);
  std::int32_t max_calls_per_day = 12;
  // The alert command, run without a shell; empty: alerts are only logged.
  std::vector<std::string> alert;
  std::chrono::seconds alert_after = std::chrono::hours(24);
  std::chrono::seconds alert_age = std::chrono::hours(48);
  std::chrono::seconds alert_timeout = std::chrono::seconds(60);
};

// Whether a run may call now, and why not.
enum class Admission { kCall, kOutsideWindows, kBackingOff, kDayFull, kStopped };
struct Verdict {
  Admission admission = Admission::kCall;
  // For a person: why not now, and when next ("prochain appel possible le ...").
  std::string why;
};

// `forced` (--now) lifts the windows, the back-off and the day's limit, not
// calls stopped for a person. `now` is the time of day (WallNow()).
Verdict Admit(const SchedulePolicy& policy, const CallState& state, std::time_t now, bool forced);

// The wait after `failures` failed calls in a row (1 or more): retry_min,
// doubled at each further failure, never more than retry_max.
std::chrono::seconds Backoff(std::int64_t failures, const SchedulePolicy& policy);

// What a run's call amounts to for the schedule.
enum class CallResult {
  // Nothing was dialled (nothing to do, a local refusal, the lock held).
  kNone,
  // The call went through (files held or refused one by one included).
  kGood,
  // Busy, silent, cut: try later, after the back-off.
  kFailed,
  // The server refused the account or its password: no call until a person
  // resumes them.
  kAccountRefused,
};

// The state after a run that started at `started` and ended at `ended`:
// `outcome` is the run's word ("done", "later"...), `why` its message.
void NoteCall(CallState& state, const SchedulePolicy& policy, CallResult result,
              const std::string& outcome, std::time_t started, std::time_t ended,
              const std::string& why);

// "2024-05-02": the local day of `when`.
std::string LocalDayOf(std::time_t when);

}  // namespace xmodemq
