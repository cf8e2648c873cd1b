#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "journal/Journal.h"
#include "journal/Sqlite.h"

namespace xmodemq {

// The record of every transfer, in one SQLite file that several processes
// write at once: write-ahead log, a busy time-out, every row committed to
// disk before the transfer goes on (synchronous=FULL). It carries the
// project's SQLite application_id (kApplicationId), and its schema is
// numbered by PRAGMA user_version and brought up to date step by step when
// a writer opens it. Its SQL stays in this room, behind these operations.
class SqliteJournal final : public Journal {
 public:
  // The schema this program writes.
  static const int kVersion;
  // How long a process waits for another that holds the journal.
  static constexpr std::chrono::milliseconds kBusyWait{15'000};

  // Opens the journal at `place` through its checked folder
  // (OpenJournalFolder()), refusing a file that is not the caller's alone
  // or not a journal (a database with tables but without kApplicationId,
  // except a journal of an earlier xmodemq) or one of a newer schema.
  // To write: creates it (0600) when it is missing, then brings it up to
  // date. To read: changes nothing, not even the files beside it, and
  // works on a read-only file or file system; nothing when it does not
  // exist. SQLite opens it by its name: a file put in its place after the
  // checks is refused. `before_open` runs between the checks and that
  // opening: the tests' seam, where another file can take its name.
  // Throws JournalError.
  static std::unique_ptr<SqliteJournal> Open(const JournalPlace& place, Access access,
                                             const std::function<void()>& before_open = {});
  ~SqliteJournal() override;

  const std::string& Path() const override { return path_; }

  // The operations of Journal (Journal.h).
  void MarkDead() override;
  std::vector<SendVerdict> ReserveSends(std::vector<JournalRow>& rows,
                                        const std::vector<std::string>& prefixes,
                                        Repeat repeat) override;
  void Release(const JournalRow& row) override;
  void Begin(JournalRow& row, const std::string& prefixes,
             std::function<bool()> stop_waiting) override;
  void End(const JournalRow& row) override;
  std::optional<SentVersion> LastVersionSent(const JournalRow& like) const override;
  void AllBlocksHeld(std::int64_t id, std::int64_t blocks) override;
  void Refile(std::int64_t id, const std::string& path) override;
  bool ReceivedInto(const std::string& path, const std::string& sha256) const override;
  void RefileReceive(const std::string& from, const std::string& to) override;
  bool ReceivedBefore(const JournalRow& like) const override;
  std::optional<JournalRow> LastAsked(const JournalRow& like,
                                      const std::string& since_utc) const override;
  std::vector<JournalRow> List(const std::optional<std::string>& since_utc) const override;
  CallState LoadCallState(const std::string& profile) const override;
  void SaveCallState(const std::string& profile, const CallState& state) override;
  std::vector<AlertRecord> Alerts(const std::string& profile, bool open_only) const override;
  std::int64_t OpenAlert(const std::string& profile, const AlertRecord& alert) override;
  void NoteAlert(std::int64_t id, const std::optional<std::string>& closed,
                 const std::string& command) override;

 private:
  SqliteJournal(std::string path, std::unique_ptr<Database> db);
  int Version() const;
  // Refuses a database that is not a journal, or one of a newer schema.
  void CheckIdentity() const;
  // Turns it to WAL, its writes synced, its schema brought up to date.
  void SetUp();
  // MarkDead() within a transaction.
  void SettleDead();
  // A new row (its id set) and its prefix digests, within a transaction.
  void Insert(JournalRow& row, const std::string& prefixes);
  [[noreturn]] void Fail(const std::string& doing, const SqliteError& e) const;
  // SQLite's busy handler: waits out another process for up to kBusyWait.
  static int OnBusy(void* self, int count);

  std::string path_;
  std::unique_ptr<Database> db_;
  int version_ = 0;
  std::chrono::steady_clock::time_point busy_since_;
  std::function<bool()> stop_waiting_;
};

}  // namespace xmodemq
