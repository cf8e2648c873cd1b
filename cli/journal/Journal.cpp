#include "journal/Journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

#include "files/HeldFolder.h"
#include "journal/JournalSchema.h"
#include "system/FileErrors.h"
#include "system/Paths.h"
#include "system/ProcessIdentity.h"
#include "system/UniqueFd.h"

namespace xmodemq {
namespace {

// mkdir -p, each folder made 0700.
void MakeFolders(const std::string& folder) {
  struct stat st {};
  if (folder.empty() || folder == "/" || folder == "." || ::stat(folder.c_str(), &st) == 0) return;
  MakeFolders(FolderOf(folder));
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
    throw JournalError(FileError("créer le dossier", folder, errno));
  ::chmod(folder.c_str(), 0700);
}

}  // namespace

const int Journal::kVersion = SchemaVersion();

Journal::Journal(std::string path, std::unique_ptr<Database> db)
    : path_(std::move(path)), db_(std::move(db)) {}

Journal::~Journal() = default;

void Journal::Fail(const std::string& doing, const SqliteError& e) const {
  throw JournalError("le journal " + path_ + " ne peut pas " + doing + " : " + SqliteText(e));
}

std::unique_ptr<Journal> Journal::Open(const std::string& path, bool create, bool make_folders) {
  const std::string folder = FolderOf(path);
  if (make_folders) MakeFolders(folder);
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0) {
    if (errno == ENOENT && !create) return nullptr;
    throw JournalError("le dossier " + folder + " du journal " +
                       (errno == ENOENT ? std::string("n'existe pas") : ErrnoText(errno)));
  }
  if (!S_ISDIR(st.st_mode))
    throw JournalError(folder + ", dossier du journal, n'est pas un dossier");
  if (const auto why = NotPrivate(st, Owner::kCallerOrRoot))
    throw JournalError("le dossier " + folder + " du journal " + *why +
                       " : un autre que vous pourrait y remplacer le journal. Choisissez un "
                       "dossier à vous (--journal, XMODEMQ_JOURNAL)");

  // The file as it is, or created for the caller alone.
  UniqueFd fd;
  if (create) {
    fd = UniqueFd(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd) ::fchmod(fd.Get(), 0600);
  }
  if (!fd && (!create || errno == EEXIST))
    fd = UniqueFd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!fd) {
    if (errno == ENOENT && !create) return nullptr;
    if (errno == ELOOP) throw JournalError("le journal " + path + " est un lien symbolique");
    throw JournalError(FileError("ouvrir le journal", path, errno));
  }
  if (::fstat(fd.Get(), &st) != 0) throw JournalError(FileError("lire", path, errno));
  if (!S_ISREG(st.st_mode))
    throw JournalError("le journal " + path + " est " + KindOf(st) + ", pas un fichier ordinaire");
  if (const auto why = NotPrivate(st))
    throw JournalError("le journal " + path + " " + *why +
                       " : il ne peut pas servir de preuve. Un journal est à un seul utilisateur");
  fd.Reset();

  std::unique_ptr<Journal> journal;
  try {
    journal.reset(new Journal(
        path, std::make_unique<Database>(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW)));
  } catch (const SqliteError& e) {
    throw JournalError("le journal " + path + " ne peut pas être ouvert : " + SqliteText(e));
  }
  Database& db = *journal->db_;
  // Several processes (a pool of lines) write at once: each waits its turn.
  sqlite3_busy_handler(db.Get(), &Journal::OnBusy, journal.get());
  // Two processes that turn a new journal to WAL at the same moment each hold
  // what the other needs: SQLite answers one of them "busy" at once instead of
  // waiting. Its locks are released by then, so the setup is tried again,
  // within the same wait as any other.
  const auto give_up = std::chrono::steady_clock::now() + kBusyWait;
  for (;;) {
    try {
      journal->SetUp();
      return journal;
    } catch (const SqliteError& e) {
      if ((e.Code() & 0xFF) != SQLITE_BUSY || std::chrono::steady_clock::now() >= give_up)
        journal->Fail("être ouvert", e);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void Journal::SetUp() {
  Database& db = *db_;
  if (sqlite3_db_readonly(db.Get(), "main") == 1) throw SqliteError(SQLITE_READONLY, "read-only");
  // A journal that this program cannot read is left exactly as it is.
  RefuseNewer();
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
  Migrate();
}

int Journal::Version() const {
  Statement read(*db_, "PRAGMA user_version");
  read.Step();
  const int version = static_cast<int>(read.Int(0));
  read.Reset();
  return version;
}

void Journal::RefuseNewer() const {
  if (const int version = Version(); version > kVersion)
    throw JournalError("le journal " + path_ +
                       " a été écrit par une version plus récente de "
                       "xmodemq (schéma " +
                       std::to_string(version) + ", celle-ci connaît le " +
                       std::to_string(kVersion) + ") : mettez xmodemq à jour");
}

void Journal::Migrate() {
  RefuseNewer();
  if (Version() < kVersion) MigrateSchema(*db_, kVersion);
}

void Journal::MarkInterrupted() {
  try {
    std::vector<std::int64_t> dead;
    Statement open(*db_, "SELECT id, pid, process FROM transfers WHERE result IS NULL");
    while (open.Step())
      if (!StillRunning(open.Int(1), open.Text(2))) dead.push_back(open.Int(0));
    open.Reset();
    if (dead.empty()) return;
    WriteTransaction transaction(*db_);
    Statement mark(*db_,
                   "UPDATE transfers SET result = 'interrupted' WHERE id = ? AND result IS NULL");
    for (const std::int64_t id : dead) mark.Bind(1, id).Run();
    transaction.Commit();
  } catch (const SqliteError& e) {
    Fail("être écrit", e);
  }
}

// Short steps, so that a request to stop is seen at once.
int Journal::OnBusy(void* self, int count) {
  Journal& journal = *static_cast<Journal*>(self);
  const auto now = std::chrono::steady_clock::now();
  if (count == 0) journal.busy_since_ = now;
  if (now - journal.busy_since_ >= kBusyWait || (journal.stop_waiting_ && journal.stop_waiting_()))
    return 0;
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return 1;
}

void Journal::Begin(JournalRow& row, const std::string& prefixes,
                    std::function<bool()> stop_waiting) {
  stop_waiting_ = std::move(stop_waiting);
  struct Forget {
    std::function<bool()>& what;
    ~Forget() { what = nullptr; }
  } forget{stop_waiting_};
  try {
    WriteTransaction transaction(*db_);
    Statement insert(*db_,
                     "INSERT INTO transfers(call_id, started, direction, file, server_name, "
                     "server_key, server, user, line, bytes, sha256, pid, process) "
                     "VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    insert.Bind(1, row.call_id)
        .Bind(2, row.started)
        .Bind(3, row.direction)
        .Bind(4, row.file)
        .Bind(5, row.server_name)
        .Bind(6, row.server_key)
        .Bind(7, row.server)
        .Bind(8, row.user)
        .Bind(9, row.line)
        .Bind(10, row.bytes)
        .Bind(11, row.sha256)
        .Bind(12, row.pid)
        .Bind(13, row.process)
        .Run();
    row.id = sqlite3_last_insert_rowid(db_->Get());
    if (!prefixes.empty()) {
      Statement keep(*db_, "INSERT INTO send_prefixes(transfer, digests) VALUES(?, ?)");
      keep.Bind(1, *row.id).BindBlob(2, prefixes).Run();
    }
    transaction.Commit();
  } catch (const SqliteError& e) {
    row.id.reset();
    if (stop_waiting_ && stop_waiting_())
      throw JournalError("le journal " + path_ + " n'est pas écrit : opération interrompue");
    Fail("être écrit", e);
  }
}

void Journal::End(const JournalRow& row) {
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
                      "WHERE direction = 'send' AND server = ? AND user = ? AND server_key = ? "
                      "AND id < ?)");
      older.Bind(1, row.server).Bind(2, row.user).Bind(3, row.server_key).Bind(4, row.id).Run();
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

std::optional<JournalRow> Journal::FindSent(const JournalRow& like) const {
  try {
    Statement find(*db_, "SELECT " XMQ_ROW_COLUMNS
                         " FROM transfers WHERE direction = 'send' AND server = ? AND user = ? "
                         "AND server_key = ? AND sha256 = ? AND result = 'rvTrue' "
                         "ORDER BY id DESC LIMIT 1");
    find.Bind(1, like.server).Bind(2, like.user).Bind(3, like.server_key).Bind(4, like.sha256);
    if (!find.Step()) return std::nullopt;
    JournalRow row = ReadRow(find);
    find.Reset();
    return row;
  } catch (const SqliteError& e) {
    Fail("être lu", e);
  }
}

std::optional<SentVersion> Journal::LastVersionSent(const JournalRow& like) const {
  try {
    // A send without an end may have moved data before its process died.
    Statement find(*db_,
                   "SELECT t.started, t.file, t.bytes, t.sha256, p.digests "
                   "FROM transfers t LEFT JOIN send_prefixes p ON p.transfer = t.id "
                   "WHERE t.direction = 'send' AND t.server = ? AND t.user = ? "
                   "AND t.server_key = ? AND t.id IS NOT ? "
                   "AND (t.blocks IS NULL OR t.blocks > 0 OR t.result = 'rvTrue') "
                   "ORDER BY t.id DESC LIMIT 1");
    find.Bind(1, like.server).Bind(2, like.user).Bind(3, like.server_key).Bind(4, like.id);
    if (!find.Step()) return std::nullopt;
    SentVersion version{find.Text(0), find.Text(1), find.OptionalInt(2), find.OptionalText(3),
                        find.Blob(4)};
    find.Reset();
    return version;
  } catch (const SqliteError& e) {
    Fail("être lu", e);
  }
}

std::vector<JournalRow> Journal::List(const std::optional<std::string>& since_utc) const {
  try {
    Statement list(*db_, "SELECT " XMQ_ROW_COLUMNS
                         " FROM transfers WHERE ?1 IS NULL OR started >= ?1 ORDER BY id");
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
