#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "journal/CallState.h"
#include "schedule/CallSchedule.h"
#include "terminal/Json.h"

namespace xmodemq {

// The schedule's part of `exchange status`: what the journal says of the
// profile's calls and alerts, and what a run would do now.
struct ScheduleStatus {
  CallState state;
  std::vector<AlertRecord> alerts;
  // Whether a run now may call, and why not.
  Verdict verdict;
  std::int32_t max_calls_per_day = 0;
  std::vector<std::string> windows;
  // The journal could not be read: why.
  std::string error;

  void AddTo(JsonObject& json) const;
  std::string Text() const;
};

// Reads the journal (`journal`, or the default one) without changing it.
ScheduleStatus ReadScheduleStatus(const std::string& profile,
                                  const std::optional<std::string>& journal,
                                  const SchedulePolicy& policy, std::time_t now);

}  // namespace xmodemq
