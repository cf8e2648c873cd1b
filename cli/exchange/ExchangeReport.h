#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace xmodemq {

class Spool;

// What one run did, as its JSON object and the spool's state file say it.
struct ExchangeReport {
  std::string profile;
  std::string user;
  std::string started;
  std::string ended;
  // The line that served the call; empty when none was dialled.
  std::string line;
  int exit_status = 0;
  std::int64_t sent = 0;
  std::int64_t already_sent = 0;
  std::int64_t held = 0;
  std::int64_t received = 0;
  std::int64_t already_received = 0;
  std::int64_t not_waiting = 0;
  // Files of the outbox still being written, left for a later run.
  std::int64_t waiting = 0;
  // Files of the outbox moved to queued/: submitted to the queue of several
  // machines, or found there already (same origin, or same name and content).
  std::int64_t queued = 0;
  // The last return filed in inbox/ by this run.
  std::string last_received;
  // What a person reads: why the run ended as it did.
  std::string message;
  // The server's status when it refused a transfer and the call stopped
  // there (svFalseUser, svFalsePassWord...); 0 when none.
  int refusal = 0;

  // One JSON object, on one line.
  std::string Json() const;
};

// What the spool remembers of the runs: the last one's report and the last
// return filed (the calls' failures in a row are the journal's, CallState).
struct ExchangeState {
  std::optional<ExchangeReport> last;
  std::string last_received;
  std::string last_received_at;
};

// Reads SPOOL/.etat.toml; an empty state when there is none or it cannot
// be read.
ExchangeState LoadState(const Spool& spool);
// Writes the state after `report`: written aside, synced, then renamed.
// False when it cannot be written (the run's result stands all the same).
bool SaveState(const Spool& spool, const ExchangeReport& report);

}  // namespace xmodemq
