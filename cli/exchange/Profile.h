#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "schedule/CallSchedule.h"

namespace xmodemq {

// A profile that cannot be used as written: the message names the file, the
// line and the key.
class ProfileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One server account's daily exchange, as its TOML file says it
// (xmodemq-exchange.toml(5)). Read with toml++; every key is checked here,
// an unknown key is a mistake (a misspelt `fetch_evry` must not be ignored).
struct Profile {
  // The file it was read from, absolute.
  std::string path;
  std::string user;
  std::string password_file;
  // Tried in order, as --device.
  std::vector<std::string> lines;
  std::string prefix;
  std::string init;
  std::string settings = "9600,N,8,1";
  int32_t attempts = 3;
  // Holds outbox/, sent/, held/, inbox/.
  std::string spool;
  // Names asked for at each call, before substitution.
  std::vector<std::string> fetch;
  std::chrono::seconds fetch_every = std::chrono::hours(24);
  // When calls may go out (schedule/CallWindows.h); none: at any time.
  std::vector<std::string> windows;
  std::vector<CallWindow> call_windows;
  std::chrono::seconds retry_min = std::chrono::minutes(10);
  std::chrono::seconds retry_max = std::chrono::hours(4);
  int32_t max_calls_per_day = 12;
  std::chrono::seconds settle = std::chrono::seconds(10);
  bool pad = false;
  // An IANA zone name ("Europe/Paris"); empty: the machine's.
  std::string timezone;
  // Empty: the command's default journal.
  std::string journal;
  // The files wait in the journal's PostgreSQL database, one queue that
  // every machine's runs serve (queue/QueueRun.h); `spool` is then optional.
  bool queue = false;
  // With a journal in a database, how long a worker's claim on a file or a
  // line holds without renewal (queue/PgQueue.h); at least 2 s.
  std::chrono::seconds lease = std::chrono::minutes(2);
  // The command run once per new condition that needs a person, as argv
  // (never through a shell); empty: alerts are only logged.
  std::vector<std::string> alert;
  std::chrono::seconds alert_after = std::chrono::hours(24);
  std::chrono::seconds alert_age = std::chrono::hours(48);

  // The schedule's part of it.
  SchedulePolicy Schedule() const;
};

// What a command does with the profile: the exchange dials, so it needs the
// password file and the lines; `submit`, `fetch-returns` and the status only
// reach the journal, and the billing software's machine that submits need
// hold neither the account's password nor a line.
enum class ProfileUse { kDial, kJournalOnly };

// Reads and checks the profile at `path`. Relative paths inside it are taken
// from the profile's folder. Throws ProfileError.
Profile LoadProfile(const std::string& path, ProfileUse use = ProfileUse::kDial);

// "10s", "10m", "4h", "1d": a duration of the profile. Nothing when the text
// is not one.
std::optional<std::chrono::seconds> ParseProfileDuration(const std::string& text);

}  // namespace xmodemq
