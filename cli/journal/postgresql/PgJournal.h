#pragma once

#include <memory>
#include <string>

#include "journal/Journal.h"
#include "journal/postgresql/PgConnection.h"
#include "journal/postgresql/PgError.h"

namespace xmodemq {

// The journal in a PostgreSQL database that several machines share
// (doc/several-machines.md): the SQLite journal's operations, on the tables
// of PgSchema.h, every value a bound parameter. A process settles the rows
// that its own machine's dead processes left (the boot's id in their
// process identity), never another machine's.
//
// An end that cannot be written because the database went away during the
// call is not lost: it is kept in a local record (OutcomesKept.h) and
// written before anything else when a later run opens the journal to write.
class PgJournal final : public Journal {
 public:
  // Connects to `place.address`; to write, brings the schema up to date and
  // writes the kept outcomes first. To read: nothing when the database
  // holds no journal yet. Throws JournalError: Unreachable() when the
  // server cannot be reached, Busy() when it could not do it now.
  static std::unique_ptr<PgJournal> Open(const JournalPlace& place, Access access);
  ~PgJournal() override;

  const std::string& Path() const override { return described_; }

  void MarkDead() override;
  void MarkLeaseEnded(const std::string& process) override;
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
  PgJournal(const JournalPlace& place, std::unique_ptr<PgConnection> connection);
  // Runs `work` on the connection; a PgError becomes a JournalError that
  // says what the journal could not do (`doing`).
  template <typename Work>
  auto Guard(const char* doing, Work work) const -> decltype(work());
  // The end of a row, within a transaction.
  void WriteEnd(const JournalRow& row);
  // Writes the outcomes kept locally, oldest first.
  void WriteKept();
  // Settles the open rows that `which` (a condition on $1 = `value`)
  // selects, as MarkDead() does; `lease_ended`, even those of a process
  // that still runs.
  void Settle(const std::string& which, const std::string& value, bool lease_ended);

  JournalPlace place_;
  std::string described_;
  std::unique_ptr<PgConnection> connection_;
  int version_ = 0;
};

}  // namespace xmodemq
