#include "journal/JournalSchema.h"
#include "journal/SqliteJournal.h"

namespace xmodemq {
namespace {

// The schedule's tables came with schema 4: an older journal, opened to
// read, has none of them yet.
constexpr int kScheduleVersion = 4;

}  // namespace

CallState SqliteJournal::LoadCallState(const std::string& profile) const {
  CallState state;
  if (version_ < kScheduleVersion) return state;
  try {
    Statement read(*db_,
                   "SELECT last_call, last_result, failures, failing_since, next_call, calls_day, "
                   "calls_today, stopped FROM exchange_state WHERE profile = ?");
    read.Bind(1, profile);
    if (read.Step()) {
      state.last_call = read.OptionalText(0);
      state.last_result = read.Text(1);
      state.failures = read.Int(2);
      state.failing_since = read.OptionalText(3);
      state.next_call = read.OptionalText(4);
      state.calls_day = read.Text(5);
      state.calls_today = read.Int(6);
      state.stopped = read.Text(7);
    }
    read.Reset();
  } catch (const SqliteError& e) {
    Fail("être lu", e);
  }
  return state;
}

void SqliteJournal::SaveCallState(const std::string& profile, const CallState& state) {
  try {
    Statement write(*db_,
                    "INSERT OR REPLACE INTO exchange_state(profile, last_call, last_result, "
                    "failures, failing_since, next_call, calls_day, calls_today, stopped) "
                    "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)");
    write.Bind(1, profile)
        .Bind(2, state.last_call)
        .Bind(3, state.last_result)
        .Bind(4, state.failures)
        .Bind(5, state.failing_since)
        .Bind(6, state.next_call)
        .Bind(7, state.calls_day)
        .Bind(8, state.calls_today)
        .Bind(9, state.stopped)
        .Run();
  } catch (const SqliteError& e) {
    Fail("être écrit", e);
  }
}

std::vector<AlertRecord> SqliteJournal::Alerts(const std::string& profile, bool open_only) const {
  std::vector<AlertRecord> alerts;
  if (version_ < kScheduleVersion) return alerts;
  try {
    Statement read(*db_, open_only ? "SELECT id, condition, detail, opened, closed, command FROM "
                                     "exchange_alerts WHERE profile = ? AND closed IS NULL "
                                     "ORDER BY id"
                                   : "SELECT id, condition, detail, opened, closed, command FROM "
                                     "exchange_alerts WHERE profile = ? ORDER BY id");
    read.Bind(1, profile);
    while (read.Step())
      alerts.push_back({read.Int(0), read.Text(1), read.Text(2), read.Text(3), read.OptionalText(4),
                        read.Text(5)});
    read.Reset();
  } catch (const SqliteError& e) {
    Fail("être lu", e);
  }
  return alerts;
}

std::int64_t SqliteJournal::OpenAlert(const std::string& profile, const AlertRecord& alert) {
  try {
    Statement write(*db_,
                    "INSERT INTO exchange_alerts(profile, condition, detail, opened, command) "
                    "VALUES (?, ?, ?, ?, ?) ON CONFLICT DO NOTHING");
    write.Bind(1, profile)
        .Bind(2, alert.condition)
        .Bind(3, alert.detail)
        .Bind(4, alert.opened)
        .Bind(5, alert.command)
        .Run();
    // Another run opened it meanwhile: it alerts, not this one.
    return sqlite3_changes(db_->Get()) == 1 ? sqlite3_last_insert_rowid(db_->Get()) : 0;
  } catch (const SqliteError& e) {
    Fail("être écrit", e);
  }
}

void SqliteJournal::NoteAlert(std::int64_t id, const std::optional<std::string>& closed,
                              const std::string& command) {
  try {
    Statement write(*db_, "UPDATE exchange_alerts SET closed = ?, command = ? WHERE id = ?");
    write.Bind(1, closed).Bind(2, command).Bind(3, id).Run();
  } catch (const SqliteError& e) {
    Fail("être écrit", e);
  }
}

}  // namespace xmodemq
