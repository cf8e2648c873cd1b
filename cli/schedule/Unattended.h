#pragma once

#include <cstddef>
#include <ctime>
#include <memory>
#include <optional>
#include <string>

#include "journal/CallState.h"
#include "schedule/Alerts.h"
#include "schedule/CallSchedule.h"
#include "schedule/EventLog.h"

namespace xmodemq {

class Journal;
struct JournalPlace;

// One profile's schedule across its runs, kept in the journal: whether this
// run may call, what its call did to the back-off, the day's count and the
// calls stopped, and the alerts that follow from it all.
class Unattended {
 public:
  // Opens the journal at `place` to write. Throws JournalError.
  Unattended(std::string profile, std::string user, SchedulePolicy policy,
             const JournalPlace& place, const EventLog& log);
  ~Unattended();

  const CallState& State() const { return state_; }
  // Whether the run may call at `now`, and why not.
  Verdict Admit(std::time_t now, bool forced) const;
  // After the run: the state brought forward and saved, then the alerts
  // raised and closed. `held` and `oldest` are the spool's now. Throws
  // JournalError.
  void After(CallResult result, const std::string& outcome, std::time_t started, std::time_t ended,
             const std::string& why, std::size_t held, std::optional<std::time_t> oldest);
  // A person resumes the calls: no longer stopped, no back-off, the
  // "stopped" and "failing" alerts closed. Returns whether they were
  // stopped.
  bool Resume(std::time_t now);

 private:
  std::string profile_;
  std::string user_;
  SchedulePolicy policy_;
  const EventLog& log_;
  std::unique_ptr<Journal> journal_;
  CallState state_;
};

}  // namespace xmodemq
