#pragma once

#include <chrono>
#include <cstddef>
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
#include "journal/NeverTwice.h"

namespace xmodemq {

// The journal cannot be opened, read or written: the message says which
// journal and why. kBusy: another process held it past its wait (SQLite's
// "busy" or "locked"); kUnreachable: the journal's database cannot be
// reached, went away, or cannot do it now. A later try may succeed in both
// cases (Busy()).
class JournalError : public std::runtime_error {
 public:
  enum class Kind { kOther, kBusy, kUnreachable };
  explicit JournalError(const std::string& what, Kind kind = Kind::kOther)
      : std::runtime_error(what), kind_(kind) {}
  bool Busy() const { return kind_ != Kind::kOther; }
  bool Unreachable() const { return kind_ == Kind::kUnreachable; }

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

// The record of every transfer, and what the never-twice rule, a server's
// resume and the exchange's schedule rest on: one interface, two back ends.
// On one machine an SQLite file (SqliteJournal.h, the default); for several
// machines a PostgreSQL database (PgJournal.h), chosen by an address
// (postgresql://…) where a path would be (JournalPlace.h). Every operation
// throws JournalError; Busy() when a later try may succeed.
class Journal {
 public:
  enum class Access { kRead, kWrite };

  // Opens the journal of `place`: its database when the place names one
  // (PgJournal::Open()), else its SQLite file (SqliteJournal::Open()).
  // Nothing when a journal to read does not exist. `before_open` is the
  // SQLite file's tests' seam. Throws JournalError.
  static std::unique_ptr<Journal> Open(const JournalPlace& place, Access access,
                                       const std::function<void()>& before_open = {});
  virtual ~Journal() = default;
  Journal() = default;
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // The journal for people: its file, or its database without a password.
  virtual const std::string& Path() const = 0;
  // Rows left without a result by a process that is gone now get the one
  // they stand for (ResultNow()); a reserved send that never went is removed.
  virtual void MarkDead() = 0;
  // The same for the rows of `process` (its identity, ThisProcess()'s),
  // on whatever machine it ran, once the queue's lease on its work ended:
  // a holder stops before its lease can end, so its rows stand for what it
  // did. Only a journal that several machines share has any to settle.
  virtual void MarkLeaseEnded(const std::string& process) { (void)process; }
  // The never-twice rule for the sends of one call, in one write
  // transaction: each send of `rows` (with its prefix digests) is checked
  // against the sends of the same content under the same server name to the
  // same account of the same server (NeverTwice.h) and, when none holds it
  // back, written as reserved (its id set, no line yet). Either all of them
  // are reserved, or none. One verdict per row. Throws JournalError.
  virtual std::vector<SendVerdict> ReserveSends(std::vector<JournalRow>& rows,
                                                const std::vector<std::string>& prefixes,
                                                Repeat repeat) = 0;
  // A reserved send whose transfer did not start: its row goes.
  virtual void Release(const JournalRow& row) = 0;
  // Writes the row of a transfer that starts, on its line: a reserved send's
  // line and start, a receive's whole row (its id set; a send's prefix
  // digests go with it). Throws JournalError, also when `stop_waiting` says
  // so while another process holds the journal (the user asked to stop:
  // waiting on would keep the line up for nothing).
  virtual void Begin(JournalRow& row, const std::string& prefixes,
                     std::function<bool()> stop_waiting = {}) = 0;
  // Writes how it ended. A send that ended well keeps its SHA-256 and
  // drops its prefix digests; one that moved data drops those of the
  // earlier sends of its name, whose blocks are no longer the server's.
  // Throws JournalError.
  virtual void End(const JournalRow& row) = 0;

  // The last send under this name to this server and account, other than
  // `like` itself, whose data may have reached the server.
  virtual std::optional<SentVersion> LastVersionSent(const JournalRow& like) const = 0;
  // The server holds every one of the `blocks` of send `id`, which runs: its
  // row says so on disk (its blocks, -1 since Begin(), become `blocks`)
  // before the send's end goes out. A send whose process died before that
  // never had its end on the server: its row reads "interrupted" and the
  // file goes again (ResultNow()). Throws JournalError; the caller then
  // stops the send before its end.
  virtual void AllBlocksHeld(std::int64_t id, std::int64_t blocks) = 0;
  // A spool's operations (JournalSpool.cpp).
  // The file of row `id` moved to `path` (a spool's sent/ or inbox/): the
  // row follows it. Throws JournalError.
  virtual void Refile(std::int64_t id, const std::string& path) = 0;
  // Whether a receive into `path` (absolute) ended well with this SHA-256:
  // the file there is the one received, whole.
  virtual bool ReceivedInto(const std::string& path, const std::string& sha256) const = 0;
  // The receives that ended well into `from` now stand for `to`.
  virtual void RefileReceive(const std::string& from, const std::string& to) = 0;
  // Whether a receive of this server name for this account ended well with
  // this SHA-256 into another file than `like.file`: the same return,
  // received before.
  virtual bool ReceivedBefore(const JournalRow& like) const = 0;
  // The last receive of this server name for this account since
  // `since_utc` that asked the server and got an answer: a file, or a
  // refusal (the description says which status).
  virtual std::optional<JournalRow> LastAsked(const JournalRow& like,
                                              const std::string& since_utc) const = 0;

  // Every transfer (not a send reserved and not yet on its line), oldest
  // first; from `since_utc` on when given.
  virtual std::vector<JournalRow> List(const std::optional<std::string>& since_utc) const = 0;

  // The exchange's schedule and alerts, per profile (JournalSchedule.cpp);
  // a journal read before schema 4 has none. Throw JournalError.
  virtual CallState LoadCallState(const std::string& profile) const = 0;
  virtual void SaveCallState(const std::string& profile, const CallState& state) = 0;
  // The alerts raised for `profile`, oldest first: the open ones only, or all.
  virtual std::vector<AlertRecord> Alerts(const std::string& profile, bool open_only) const = 0;
  // Records a new alert; returns its id, or 0 when one of that condition
  // is open already (another run opened it).
  virtual std::int64_t OpenAlert(const std::string& profile, const AlertRecord& alert) = 0;
  // Sets an alert's end (nothing: still open) and what its command did.
  virtual void NoteAlert(std::int64_t id, const std::optional<std::string>& closed,
                         const std::string& command) = 0;
};

}  // namespace xmodemq
