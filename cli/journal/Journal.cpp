#include "journal/SqliteJournal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string_view>
#include <thread>

#include "files/GroupReader.h"
#include "files/HeldFolder.h"
#include "journal/JournalSchema.h"
#include "journal/postgresql/PgJournal.h"
#include "record/LineText.h"
#include "system/FileErrors.h"
#include "system/Paths.h"
#include "system/ProcessIdentity.h"
#include "system/UniqueFd.h"

namespace xmodemq {
namespace {

// `path` as an SQLite URI that opens it without locks nor files beside it.
std::string ImmutableUri(const std::string& path) {
  std::string uri = "file:";
  for (const char c : path) {
    const auto b = static_cast<unsigned char>(c);
    if (std::isalnum(b) != 0 || std::string_view("/-._~").find(c) != std::string_view::npos) {
      uri += c;
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", b);
      uri += escaped;
    }
  }
  return uri + "?immutable=1";
}

}  // namespace

const int SqliteJournal::kVersion = SchemaVersion();

std::unique_ptr<Journal> Journal::Open(const JournalPlace& place, Access access,
                                       const std::function<void()>& before_open) {
  if (!place.address.empty()) return PgJournal::Open(place, access);
  return SqliteJournal::Open(place, access, before_open);
}

SqliteJournal::SqliteJournal(std::string path, std::unique_ptr<Database> db)
    : path_(std::move(path)), db_(std::move(db)) {}

SqliteJournal::~SqliteJournal() = default;

void SqliteJournal::Fail(const std::string& doing, const SqliteError& e) const {
  throw JournalError("le journal " + path_ + " ne peut pas " + doing + " : " + SqliteText(e),
                     SqliteBusy(e) ? JournalError::Kind::kBusy : JournalError::Kind::kOther);
}

std::unique_ptr<SqliteJournal> SqliteJournal::Open(const JournalPlace& place, Access access,
                                                   const std::function<void()>& before_open) {
  const bool write = access == Access::kWrite;
  const std::string& path = place.path;
  const std::optional<HeldFolder> folder = OpenJournalFolder(place, write);
  if (!folder) return nullptr;
  const std::string name = NameOf(path);

  // The file as it is, or created for the caller alone, through the folder
  // that was checked.
  UniqueFd fd;
  if (write) fd = folder->CreatePrivate(name);
  if (!fd && (!write || errno == EEXIST))
    fd = UniqueFd(::openat(folder->Fd(), name.c_str(),
                           O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd) {
    if (errno == ENOENT && !write) return nullptr;
    if (errno == ELOOP) throw JournalError("le journal " + path + " est un lien symbolique");
    throw JournalError(FileError("ouvrir le journal", path, errno));
  }
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0) throw JournalError(FileError("lire", path, errno));
  if (!S_ISREG(st.st_mode))
    throw JournalError("le journal " + path + " est " + KindOf(st) + ", pas un fichier ordinaire");
  // Only read, another user's journal (the service's) is a member of its
  // group's to read; written, it is the caller's alone.
  if (const auto why = NotPrivate(st); why && (write || NotSharedWithCaller(st, st.st_uid)))
    throw JournalError("le journal " + path + " " + *why +
                       " : il ne peut pas servir de preuve. Un journal est à un seul utilisateur");
  // The journal of a folder shared with its group alone (0750: the
  // package's /var/lib/xmodemq) is that group's to read (0640), so that
  // `exchange status` works for its members. SQLite makes the -wal and -shm
  // files beside it with its mode, and a reader opens them read-only (with
  // a writer at work, or after a crash); without them, the file alone is
  // read as immutable (below). Neither way does a reader write.
  struct stat shared {};
  if (write && st.st_uid == ::geteuid() && (st.st_mode & 07777) == 0600 &&
      ::fstat(folder->Fd(), &shared) == 0 && (shared.st_mode & S_IRWXO) == 0 &&
      (shared.st_mode & (S_IRGRP | S_IXGRP)) == (S_IRGRP | S_IXGRP) &&
      ::fchmod(fd.Get(), 0640) != 0)
    throw JournalError(FileError("ouvrir au groupe le journal", path, errno));

  // Closed before SQLite opens the file: closing a descriptor of a file
  // drops every POSIX lock that the process holds on it, SQLite's too.
  fd.Reset();

  if (before_open) before_open();
  // A reader changes nothing: without a write-ahead log beside it (no writer
  // runs), the file alone holds every row and is read as it is, without
  // locks, which would make files beside it.
  const bool log_beside = folder->Look(name + "-wal").has_value();
  std::unique_ptr<SqliteJournal> journal;
  try {
    const int flags = (write ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) | SQLITE_OPEN_NOFOLLOW;
    journal.reset(new SqliteJournal(
        path, write || log_beside
                  ? std::make_unique<Database>(path, flags)
                  : std::make_unique<Database>(ImmutableUri(path), flags | SQLITE_OPEN_URI)));
  } catch (const SqliteError& e) {
    throw JournalError("le journal " + path + " ne peut pas être ouvert : " + SqliteText(e),
                       SqliteBusy(e) ? JournalError::Kind::kBusy : JournalError::Kind::kOther);
  }
  // SQLite opened it by its name: that name must still be the file checked.
  struct stat now {};
  if (::stat(path.c_str(), &now) != 0 || now.st_dev != st.st_dev || now.st_ino != st.st_ino)
    throw JournalError("le journal " + path + " a été remplacé pendant son ouverture");
  Database& db = *journal->db_;
  // Several processes (a pool of lines) write at once: each waits its turn.
  sqlite3_busy_handler(db.Get(), &SqliteJournal::OnBusy, journal.get());
  // Two processes that turn a new journal to WAL at the same moment each hold
  // what the other needs: SQLite answers one of them "busy" at once instead of
  // waiting. Its locks are released by then, so the setup is tried again,
  // within the same wait as any other.
  const auto give_up = std::chrono::steady_clock::now() + kBusyWait;
  for (;;) {
    try {
      journal->version_ = journal->Version();
      journal->CheckIdentity();
      if (write) journal->SetUp();
      return journal;
    } catch (const SqliteError& e) {
      if ((e.Code() & 0xFF) != SQLITE_BUSY || std::chrono::steady_clock::now() >= give_up)
        journal->Fail("être ouvert", e);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void SqliteJournal::CheckIdentity() const {
  Statement read(*db_,
                 "SELECT (SELECT application_id FROM pragma_application_id), "
                 "(SELECT count(*) FROM sqlite_schema), "
                 "(SELECT count(*) FROM sqlite_schema WHERE name = 'transfers')");
  read.Step();
  const std::int64_t id = read.Int(0), tables = read.Int(1), transfers = read.Int(2);
  read.Reset();
  // An empty database is a journal to be; an earlier xmodemq's journal has
  // no mark yet.
  const bool earlier = id == 0 && transfers == 1 && version_ >= 1 && version_ <= 2;
  if (id != kApplicationId && tables > 0 && !earlier)
    throw JournalError("le journal " + path_ +
                       " n'est pas un journal de xmodemq (une autre base SQLite) : il est laissé "
                       "tel quel. Choisissez un autre fichier (--journal, XMODEMQ_JOURNAL)");
  if (version_ > kVersion)
    throw JournalError("le journal " + path_ +
                       " a été écrit par une version plus récente de "
                       "xmodemq (schéma " +
                       std::to_string(version_) + ", celle-ci connaît le " +
                       std::to_string(kVersion) + ") : mettez xmodemq à jour");
}

void SqliteJournal::SetUp() {
  Database& db = *db_;
  if (sqlite3_db_readonly(db.Get(), "main") == 1) throw SqliteError(SQLITE_READONLY, "read-only");
  Statement mode(db, "PRAGMA journal_mode = WAL");
  mode.Step();
  const std::string wal = mode.Text(0);
  mode.Reset();
  if (wal != "wal")
    throw JournalError("le journal " + path_ +
                       " ne peut pas tenir son journal d'écriture (WAL) sur ce système de "
                       "fichiers : choisissez un dossier local");
  // A row is a promise to the user: on disk before the transfer goes on.
  db.Execute("PRAGMA synchronous = FULL; PRAGMA foreign_keys = ON");
  if (version_ < kVersion) MigrateSchema(db, kVersion);
  // Another writer may have brought it up to date meanwhile.
  version_ = Version();
  CheckIdentity();
}

int SqliteJournal::Version() const {
  Statement read(*db_, "PRAGMA user_version");
  read.Step();
  const int version = static_cast<int>(read.Int(0));
  read.Reset();
  return version;
}

void SqliteJournal::SettleDead() {
  std::vector<std::pair<std::int64_t, std::string>> dead;
  Statement open(*db_,
                 "SELECT id, pid, process, direction, line, blocks FROM transfers WHERE "
                 "result IS NULL");
  while (open.Step()) {
    JournalRow row;
    row.pid = open.Int(1);
    row.process = open.Text(2);
    row.direction = open.Text(3);
    row.line = open.Text(4);
    row.blocks = open.OptionalInt(5);
    if (const std::string result = ResultNow(row); result != "running")
      dead.emplace_back(open.Int(0), row.direction == "send" && row.line.empty() ? "" : result);
  }
  open.Reset();
  // A send whose server never held its last block keeps no count: which
  // blocks it holds is unknown.
  Statement mark(*db_,
                 "UPDATE transfers SET result = ?, blocks = CASE WHEN blocks < 0 THEN NULL "
                 "ELSE blocks END WHERE id = ? AND result IS NULL");
  // A reservation that never reached its line moved nothing: no transfer.
  Statement drop(*db_, "DELETE FROM transfers WHERE id = ? AND result IS NULL AND line = ''");
  for (const auto& [id, result] : dead) {
    if (result.empty())
      drop.Bind(1, id).Run();
    else
      mark.Bind(1, result).Bind(2, id).Run();
  }
}

void SqliteJournal::MarkDead() {
  try {
    WriteTransaction transaction(*db_);
    SettleDead();
    transaction.Commit();
  } catch (const SqliteError& e) {
    Fail("être écrit", e);
  }
}

// Short steps, so that a request to stop is seen at once.
int SqliteJournal::OnBusy(void* self, int count) {
  SqliteJournal& journal = *static_cast<SqliteJournal*>(self);
  const auto now = std::chrono::steady_clock::now();
  if (count == 0) journal.busy_since_ = now;
  if (now - journal.busy_since_ >= kBusyWait || (journal.stop_waiting_ && journal.stop_waiting_()))
    return 0;
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return 1;
}

void SqliteJournal::Begin(JournalRow& row, const std::string& prefixes,
                          std::function<bool()> stop_waiting) {
  stop_waiting_ = std::move(stop_waiting);
  struct Forget {
    std::function<bool()>& what;
    ~Forget() { what = nullptr; }
  } forget{stop_waiting_};
  const bool reserved = row.id.has_value();
  try {
    WriteTransaction transaction(*db_);
    if (reserved) {
      Statement open(*db_, "UPDATE transfers SET line = ?, started = ?, blocks = ? WHERE id = ?");
      open.Bind(1, row.line).Bind(2, row.started).Bind(3, row.blocks).Bind(4, row.id).Run();
    } else {
      Insert(row, prefixes);
    }
    transaction.Commit();
  } catch (const SqliteError& e) {
    if (!reserved) row.id.reset();
    if (stop_waiting_ && stop_waiting_())
      throw JournalError("le journal " + path_ + " n'est pas écrit : opération interrompue");
    Fail("être écrit", e);
  }
}

void SqliteJournal::Insert(JournalRow& row, const std::string& prefixes) {
  Statement insert(*db_,
                   "INSERT INTO transfers(call_id, started, direction, file, server_name, "
                   "server_key, server, user, user_key, line, bytes, sha256, pid, process, "
                   "again, blocks) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  row.user_key = AccountOf(row.user);
  insert.Bind(1, row.call_id)
      .Bind(2, row.started)
      .Bind(3, row.direction)
      .Bind(4, row.file)
      .Bind(5, row.server_name)
      .Bind(6, row.server_key)
      .Bind(7, row.server)
      .Bind(8, row.user)
      .Bind(9, row.user_key)
      .Bind(10, row.line)
      .Bind(11, row.bytes)
      .Bind(12, row.sha256)
      .Bind(13, row.pid)
      .Bind(14, row.process)
      .Bind(15, std::int64_t{row.again})
      .Bind(16, row.blocks)
      .Run();
  row.id = sqlite3_last_insert_rowid(db_->Get());
  if (!prefixes.empty()) {
    Statement keep(*db_, "INSERT INTO send_prefixes(transfer, digests) VALUES(?, ?)");
    keep.Bind(1, *row.id).BindBlob(2, prefixes).Run();
  }
}

void SqliteJournal::End(const JournalRow& row) {
  try {
    WriteTransaction transaction(*db_);
    Statement update(*db_,
                     "UPDATE transfers SET ended = ?, bytes = ?, blocks = ?, sha256 = ?, "
                     "resumed_from = ?, result = ?, description = ?, exit_status = ? WHERE id = ?");
    update.Bind(1, row.ended)
        .Bind(2, row.bytes)
        .Bind(3, row.blocks)
        .Bind(4, row.sha256)
        .Bind(5, row.resumed_from)
        .Bind(6, row.result)
        .Bind(7, row.description)
        .Bind(8, row.exit_status)
        .Bind(9, row.id)
        .Run();
    const bool ended_well = row.result == "rvTrue";
    if (row.direction == "send" && (ended_well || row.blocks.value_or(0) > 0)) {
      Statement older(*db_,
                      "DELETE FROM send_prefixes WHERE transfer IN (SELECT id FROM transfers "
                      "WHERE direction = 'send' AND server = ? AND user_key = ? AND "
                      "server_key = ? AND id < ?)");
      older.Bind(1, row.server)
          .Bind(2, AccountOf(row.user))
          .Bind(3, row.server_key)
          .Bind(4, row.id)
          .Run();
    }
    if (ended_well) {
      Statement own(*db_, "DELETE FROM send_prefixes WHERE transfer = ?");
      own.Bind(1, row.id).Run();
    }
    transaction.Commit();
  } catch (const SqliteError& e) {
    Fail("être écrit", e);
  }
}

std::optional<SentVersion> SqliteJournal::LastVersionSent(const JournalRow& like) const {
  try {
    // A send without an end may have moved data before its process died;
    // one that never reached its line did not.
    Statement find(*db_,
                   "SELECT t.started, t.file, t.bytes, t.sha256, p.digests "
                   "FROM transfers t LEFT JOIN send_prefixes p ON p.transfer = t.id "
                   "WHERE t.direction = 'send' AND t.server = ? AND t.user_key = ? "
                   "AND t.server_key = ? AND t.id IS NOT ? AND t.line <> '' "
                   "AND (t.blocks IS NULL OR t.blocks > 0 OR t.result = 'rvTrue') "
                   "ORDER BY t.id DESC LIMIT 1");
    find.Bind(1, like.server)
        .Bind(2, AccountOf(like.user))
        .Bind(3, like.server_key)
        .Bind(4, like.id);
    if (!find.Step()) return std::nullopt;
    SentVersion version{find.Text(0), find.Text(1), find.OptionalInt(2), find.OptionalText(3),
                        find.Blob(4)};
    find.Reset();
    return version;
  } catch (const SqliteError& e) {
    Fail("être lu", e);
  }
}

void SqliteJournal::AllBlocksHeld(std::int64_t id, std::int64_t blocks) {
  try {
    Statement mark(*db_, "UPDATE transfers SET blocks = ? WHERE id = ? AND result IS NULL");
    mark.Bind(1, blocks).Bind(2, id).Run();
  } catch (const SqliteError& e) {
    Fail("être écrit", e);
  }
}

std::vector<JournalRow> SqliteJournal::List(const std::optional<std::string>& since_utc) const {
  if (version_ == 0) return {};
  try {
    Statement list(*db_, ("SELECT " + RowColumns(version_) +
                          " FROM transfers WHERE (?1 IS NULL OR started >= ?1) AND NOT "
                          "(direction = 'send' AND line = '' AND result IS NULL) ORDER BY id")
                             .c_str());
    list.Bind(1, since_utc);
    std::vector<JournalRow> rows;
    while (list.Step()) rows.push_back(ReadRow(list));
    list.Reset();
    return rows;
  } catch (const SqliteError& e) {
    Fail("être lu", e);
  }
}

}  // namespace xmodemq
