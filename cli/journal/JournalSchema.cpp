#include "journal/JournalSchema.h"

#include <iterator>

#include "system/FileErrors.h"

namespace xmodemq {
namespace {

// Each step takes the schema from version i to i + 1. A step that was
// released is never changed: a change is a new step.
constexpr const char* kSteps[] = {
    // 1: the transfers.
    R"(CREATE TABLE transfers(
         id INTEGER PRIMARY KEY,
         call_id TEXT NOT NULL,
         started TEXT NOT NULL,
         ended TEXT,
         direction TEXT NOT NULL CHECK (direction IN ('send', 'receive')),
         file TEXT NOT NULL,
         server_name TEXT NOT NULL,
         server_key TEXT NOT NULL,
         server TEXT NOT NULL,
         user TEXT NOT NULL,
         line TEXT NOT NULL,
         bytes INTEGER,
         blocks INTEGER,
         sha256 TEXT,
         resumed_from INTEGER,
         result TEXT,
         description TEXT NOT NULL DEFAULT '',
         exit_status INTEGER,
         pid INTEGER NOT NULL,
         process TEXT NOT NULL);
       CREATE INDEX transfers_by_name ON transfers(server, user, server_key, direction);)",
    // 2: what a server's resume of a send is checked against.
    R"(CREATE TABLE send_prefixes(
         transfer INTEGER PRIMARY KEY REFERENCES transfers(id) ON DELETE CASCADE,
         digests BLOB NOT NULL);)",
    // 3: the account as the record carries it (the user id cut to 40
    // characters, without its filling spaces; each character is one byte of
    // the code page), a deliberate repeat, one running send of a file at a
    // time (a reserved send has no line yet), and the journal's mark. Of the
    // sends left running by an earlier xmodemq, the last one of a file is
    // kept running (MarkDead() settles it), the others have no known end.
    R"(ALTER TABLE transfers ADD COLUMN user_key TEXT NOT NULL DEFAULT '';
       UPDATE transfers SET user_key = rtrim(substr(user, 1, 40), ' ');
       ALTER TABLE transfers ADD COLUMN again INTEGER NOT NULL DEFAULT 0;
       DROP INDEX transfers_by_name;
       CREATE INDEX transfers_by_name ON transfers(server, user_key, server_key, direction);
       UPDATE transfers SET result = 'unknown'
         WHERE direction = 'send' AND result IS NULL AND id NOT IN (
           SELECT max(id) FROM transfers WHERE direction = 'send' AND result IS NULL
           GROUP BY server, user_key, server_key);
       CREATE UNIQUE INDEX sends_running ON transfers(server, user_key, server_key)
         WHERE direction = 'send' AND result IS NULL;
       PRAGMA application_id = 1481462090;)",
    // 4: the exchange's schedule per profile (the last call, the failures in
    // a row and the back-off, the calls of the day, calls stopped for a
    // person) and the alerts it raised, open until their condition clears.
    R"(CREATE TABLE exchange_state(
         profile TEXT PRIMARY KEY,
         last_call TEXT,
         last_result TEXT NOT NULL DEFAULT '',
         failures INTEGER NOT NULL DEFAULT 0,
         failing_since TEXT,
         next_call TEXT,
         calls_day TEXT NOT NULL DEFAULT '',
         calls_today INTEGER NOT NULL DEFAULT 0,
         stopped TEXT NOT NULL DEFAULT '');
       CREATE TABLE exchange_alerts(
         id INTEGER PRIMARY KEY,
         profile TEXT NOT NULL,
         condition TEXT NOT NULL,
         detail TEXT NOT NULL,
         opened TEXT NOT NULL,
         closed TEXT,
         command TEXT NOT NULL DEFAULT '');
       CREATE UNIQUE INDEX alerts_open ON exchange_alerts(profile, condition)
         WHERE closed IS NULL;)",
};
static_assert(kApplicationId == 1481462090, "step 3 stamps the journal with kApplicationId");

}  // namespace

std::string RowColumns(int version) {
  return std::string(
             "id, call_id, started, ended, direction, file, server_name, server_key, server, "
             "user, line, bytes, blocks, sha256, resumed_from, result, description, "
             "exit_status, pid, process, ") +
         (version >= 3 ? "user_key, again" : "rtrim(substr(user, 1, 40), ' '), 0");
}

int SchemaVersion() {
  return static_cast<int>(std::size(kSteps));
}

void MigrateSchema(Database& db, int version) {
  WriteTransaction transaction(db);
  Statement read(db, "PRAGMA user_version");
  read.Step();
  const int from = static_cast<int>(read.Int(0));
  read.Reset();
  for (int step = from; step < version; ++step) db.Execute(kSteps[step]);
  if (from < version) db.Execute(("PRAGMA user_version = " + std::to_string(version)).c_str());
  transaction.Commit();
}

JournalRow ReadRow(const Statement& s) {
  JournalRow row;
  row.id = s.Int(0);
  row.call_id = s.Text(1);
  row.started = s.Text(2);
  row.ended = s.OptionalText(3);
  row.direction = s.Text(4);
  row.file = s.Text(5);
  row.server_name = s.Text(6);
  row.server_key = s.Text(7);
  row.server = s.Text(8);
  row.user = s.Text(9);
  row.line = s.Text(10);
  row.bytes = s.OptionalInt(11);
  row.blocks = s.OptionalInt(12);
  row.sha256 = s.OptionalText(13);
  row.resumed_from = s.OptionalInt(14);
  row.result = s.OptionalText(15);
  row.description = s.Text(16);
  row.exit_status = s.OptionalInt(17);
  row.pid = s.Int(18);
  row.process = s.Text(19);
  row.user_key = s.Text(20);
  row.again = s.Int(21) != 0;
  return row;
}

bool SqliteBusy(const SqliteError& e) {
  const int code = e.Code() & 0xFF;
  return code == SQLITE_BUSY || code == SQLITE_LOCKED;
}

// What an SQLite failure means to a user.
std::string SqliteText(const SqliteError& e) {
  switch (e.Code() & 0xFF) {
    case SQLITE_FULL:
      return "disque plein";
    case SQLITE_READONLY:
      return "il ne peut pas être écrit (lecture seule)";
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return "un autre programme le tient depuis plus de 15 s";
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
      return "ce n'est pas un journal de xmodemq, ou il est abîmé";
    case SQLITE_IOERR:
      // SQLite says "I/O error" for a file it could not grow (the shared
      // memory beside the journal); the system says why.
      if (e.SystemError() != 0) return ErrnoText(e.SystemError());
      return "erreur d'entrée-sortie du disque";
    case SQLITE_CANTOPEN:
      return "impossible de l'ouvrir";
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return "accès refusé";
    default:
      return e.what();
  }
}

}  // namespace xmodemq
