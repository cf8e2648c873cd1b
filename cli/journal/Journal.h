#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "journal/CallState.h"
#include "journal/JournalPlace.h"
#include "journal/JournalRow.h"
#include "journal/JournalSchema.h"
#include "journal/NeverTwice.h"
#include "journal/Sqlite.h"

namespace xmodemq {

// The journal cannot be opened, read or written: the message says which
// journal and why. kBusy: another process held it past kBusyWait (SQLite's
// "busy" or "locked"), which a later try may find free.
class JournalError : public std::runtime_error {
 public:
  enum class Kind { kOther, kBusy };
  explicit JournalError(const std::string& what, Kind kind = Kind::kOther)
      : std::runtime_error(what), kind_(kind) {}
  bool Busy() const { return kind_ == Kind::kBusy; }

 private:
  Kind kind_;
};

// What the journal knows of the last send of a name whose data may have
// reached the server.
struct SentVersion {
  std::string started;
  std::string file;
  std::optional<std::int64_t> bytes;
  std::optional<std::string> sha256;
  // RecordDigests::Prefixes() of that file; empty once the send ended well,
  // when its SHA-256 says all there is to say.
  std::string prefixes;
};

// The record of every transfer, in one SQLite file that several processes
// write at once: write-ahead log, a busy time-out, every row committed to
// disk before the transfer goes on (synchronous=FULL). It carries the
// project's SQLite application_id (kApplicationId), and its schema is
// numbered by PRAGMA user_version and brought up to date step by step when
// a writer opens it. Its SQL stays in this room, behind these operations.
class Journal {
 public:
  // The schema this program writes.
  static const int kVersion;
  // How long a process waits for another that holds the journal.
  static constexpr std::chrono::milliseconds kBusyWait{15'000};
  enum class Access { kRead, kWrite };

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
  static std::unique_ptr<Journal> Open(const JournalPlace& place, Access access,
                                       const std::function<void()>& before_open = {});
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  const std::string& Path() const { return path_; }

  // Rows left without a result by a process that is gone now get the one
  // they stand for (ResultNow()); a reserved send that never went is removed.
  void MarkDead();
  // The never-twice rule for the sends of one call, in one write
  // transaction: each send of `rows` (with its prefix digests) is checked
  // against the sends of the same content under the same server name to the
  // same account of the same server (NeverTwice.h) and, when none holds it
  // back, written as reserved (its id set, no line yet). Either all of them
  // are reserved, or none. One verdict per row. Throws JournalError.
  std::vector<SendVerdict> ReserveSends(std::vector<JournalRow>& rows,
                                        const std::vector<std::string>& prefixes, Repeat repeat);
  // A reserved send whose transfer did not start: its row goes.
  void Release(const JournalRow& row);
  // Writes the row of a transfer that starts, on its line: a reserved send's
  // line and start, a receive's whole row (its id set; a send's prefix
  // digests go with it). Throws JournalError, also when `stop_waiting` says
  // so while another process holds the journal (the user asked to stop:
  // waiting on would keep the line up for nothing).
  void Begin(JournalRow& row, const std::string& prefixes, std::function<bool()> stop_waiting = {});
  // Writes how it ended. A send that ended well keeps its SHA-256 and
  // drops its prefix digests; one that moved data drops those of the
  // earlier sends of its name, whose blocks are no longer the server's.
  // Throws JournalError.
  void End(const JournalRow& row);

  // The last send under this name to this server and account, other than
  // `like` itself, whose data may have reached the server.
  std::optional<SentVersion> LastVersionSent(const JournalRow& like) const;
  // The server holds every one of the `blocks` of send `id`, which runs: its
  // row says so on disk (its blocks, -1 since Begin(), become `blocks`)
  // before the send's end goes out. A send whose process died before that
  // never had its end on the server: its row reads "interrupted" and the
  // file goes again (ResultNow()). Throws JournalError; the caller then
  // stops the send before its end.
  void AllBlocksHeld(std::int64_t id, std::int64_t blocks);
  // A spool's operations (JournalSpool.cpp).
  // The file of row `id` moved to `path` (a spool's sent/ or inbox/): the
  // row follows it. Throws JournalError.
  void Refile(std::int64_t id, const std::string& path);
  // Whether a receive into `path` (absolute) ended well with this SHA-256:
  // the file there is the one received, whole.
  bool ReceivedInto(const std::string& path, const std::string& sha256) const;
  // The receives that ended well into `from` now stand for `to`.
  void RefileReceive(const std::string& from, const std::string& to);
  // Whether a receive of this server name for this account ended well with
  // this SHA-256 into another file than `like.file`: the same return,
  // received before.
  bool ReceivedBefore(const JournalRow& like) const;
  // The last receive of this server name for this account since
  // `since_utc` that asked the server and got an answer: a file, or a
  // refusal (the description says which status).
  std::optional<JournalRow> LastAsked(const JournalRow& like, const std::string& since_utc) const;

  // Every transfer (not a send reserved and not yet on its line), oldest
  // first; from `since_utc` on when given.
  std::vector<JournalRow> List(const std::optional<std::string>& since_utc) const;

  // The exchange's schedule and alerts, per profile (JournalSchedule.cpp);
  // a journal read before schema 4 has none. Throw JournalError.
  CallState LoadCallState(const std::string& profile) const;
  void SaveCallState(const std::string& profile, const CallState& state);
  // The alerts raised for `profile`, oldest first: the open ones only, or all.
  std::vector<AlertRecord> Alerts(const std::string& profile, bool open_only) const;
  // Records a new alert; returns its id, or 0 when one of that condition
  // is open already (another run opened it).
  std::int64_t OpenAlert(const std::string& profile, const AlertRecord& alert);
  // Sets an alert's end (nothing: still open) and what its command did.
  void NoteAlert(std::int64_t id, const std::optional<std::string>& closed,
                 const std::string& command);

 private:
  Journal(std::string path, std::unique_ptr<Database> db);
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
