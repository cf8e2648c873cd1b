#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "journal/JournalRow.h"
#include "journal/JournalSchema.h"
#include "journal/Sqlite.h"

namespace xmodemq {

// The journal cannot be opened, read or written: the message says which
// journal and why.
class JournalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
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
// disk before the transfer goes on (synchronous=FULL). Its schema is
// numbered by PRAGMA user_version and brought up to date step by step when
// it is opened.
class Journal {
 public:
  // The schema this program writes.
  static const int kVersion;
  // How long a process waits for another that holds the journal.
  static constexpr std::chrono::milliseconds kBusyWait{15'000};

  // Opens the journal at `path`; with `create`, creates it (0600) when it is
  // missing, and with `make_folders` its folder too (0700, and the folders
  // above it that are missing). Refuses a file or folder that is not the
  // caller's alone, and a file that is not a journal or is one of a newer
  // schema. Nothing when it does not exist and `create` is false. Throws
  // JournalError.
  static std::unique_ptr<Journal> Open(const std::string& path, bool create, bool make_folders);
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  const std::string& Path() const { return path_; }

  // Rows left without a result by a process that is gone now say
  // "interrupted".
  void MarkInterrupted();
  // Writes the row of a transfer that starts and sets its id; a send's
  // prefix digests go with it. Throws JournalError, also when
  // `stop_waiting` says so while another process holds the journal (the
  // user asked to stop: waiting on would keep the line up for nothing).
  void Begin(JournalRow& row, const std::string& prefixes, std::function<bool()> stop_waiting = {});
  // Writes how it ended. A send that ended well keeps its SHA-256 and
  // drops its prefix digests; one that moved data drops those of the
  // earlier sends of its name, whose blocks are no longer the server's.
  // Throws JournalError.
  void End(const JournalRow& row);

  // The last send of this content under this name to this server and user
  // that ended well.
  std::optional<JournalRow> FindSent(const JournalRow& like) const;
  // The last send under this name to this server and user, other than
  // `like` itself, whose data may have reached the server.
  std::optional<SentVersion> LastVersionSent(const JournalRow& like) const;
  // Every row, oldest first; from `since_utc` on when given.
  std::vector<JournalRow> List(const std::optional<std::string>& since_utc) const;

 private:
  Journal(std::string path, std::unique_ptr<Database> db);
  int Version() const;
  // Throws JournalError for a schema newer than this program's.
  void RefuseNewer() const;
  void Migrate();
  // Turns it to WAL, its writes synced, its schema brought up to date.
  void SetUp();
  [[noreturn]] void Fail(const std::string& doing, const SqliteError& e) const;
  // SQLite's busy handler: waits out another process for up to kBusyWait.
  static int OnBusy(void* self, int count);

  std::string path_;
  std::unique_ptr<Database> db_;
  std::chrono::steady_clock::time_point busy_since_;
  std::function<bool()> stop_waiting_;
};

}  // namespace xmodemq
