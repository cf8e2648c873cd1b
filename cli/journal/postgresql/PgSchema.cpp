#include "journal/postgresql/PgSchema.h"

#include <iterator>

#include "journal/postgresql/PgError.h"

namespace xmodemq {
namespace {

// Each step takes the schema from version i to i + 1. A step that was
// released is never changed: a change is a new step. The columns are the
// SQLite journal's, under the same names ("user" is quoted: a keyword here).
constexpr const char* kSteps[] = {
    // 1: the transfers, what a server's resume of a send is checked
    // against, one running send of a file at a time (a reserved send has no
    // line yet); the exchange's schedule per profile and the alerts it
    // raised, open until their condition clears.
    R"(CREATE TABLE transfers(
         id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
         call_id text NOT NULL,
         started text NOT NULL,
         ended text,
         direction text NOT NULL CHECK (direction IN ('send', 'receive')),
         file text NOT NULL,
         server_name text NOT NULL,
         server_key text NOT NULL,
         server text NOT NULL,
         "user" text NOT NULL,
         line text NOT NULL,
         bytes bigint,
         blocks bigint,
         sha256 text,
         resumed_from bigint,
         result text,
         description text NOT NULL DEFAULT '',
         exit_status bigint,
         pid bigint NOT NULL,
         process text NOT NULL,
         user_key text NOT NULL,
         again boolean NOT NULL DEFAULT false);
       CREATE INDEX transfers_by_name ON transfers(server, user_key, server_key, direction);
       CREATE UNIQUE INDEX sends_running ON transfers(server, user_key, server_key)
         WHERE direction = 'send' AND result IS NULL;
       CREATE TABLE send_prefixes(
         transfer bigint PRIMARY KEY REFERENCES transfers(id) ON DELETE CASCADE,
         digests bytea NOT NULL);
       CREATE TABLE exchange_state(
         profile text PRIMARY KEY,
         last_call text,
         last_result text NOT NULL DEFAULT '',
         failures bigint NOT NULL DEFAULT 0,
         failing_since text,
         next_call text,
         calls_day text NOT NULL DEFAULT '',
         calls_today bigint NOT NULL DEFAULT 0,
         stopped text NOT NULL DEFAULT '');
       CREATE TABLE exchange_alerts(
         id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
         profile text NOT NULL,
         condition text NOT NULL,
         detail text NOT NULL,
         opened text NOT NULL,
         closed text,
         command text NOT NULL DEFAULT '');
       CREATE UNIQUE INDEX alerts_open ON exchange_alerts(profile, condition)
         WHERE closed IS NULL;)",
    // 2: one queue that every machine's lines serve (queue/PgQueue.h): the
    // submissions and their bytes in chunks, each claim's holder, lease end
    // and generation (one sequence for files and lines alike: no two claims
    // share a number); the leases of lines; the late results refused; the
    // returns kept once and their deliveries, one per destination.
    R"(CREATE SEQUENCE queue_generations;
       CREATE TABLE queue_files(
         id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
         account text NOT NULL,
         name text NOT NULL,
         sha256 text NOT NULL,
         bytes bigint NOT NULL,
         submitted timestamptz NOT NULL DEFAULT now(),
         again boolean NOT NULL DEFAULT false,
         state text NOT NULL DEFAULT 'waiting' CHECK (state IN ('waiting', 'sent', 'held')),
         holder text,
         lease_end timestamptz,
         generation bigint NOT NULL DEFAULT 0,
         ended timestamptz,
         description text NOT NULL DEFAULT '');
       CREATE INDEX queue_waiting ON queue_files(account, id) WHERE state = 'waiting';
       CREATE INDEX queue_by_name ON queue_files(account, name, sha256);
       CREATE TABLE queue_chunks(
         owner bigint NOT NULL REFERENCES queue_files(id) ON DELETE CASCADE,
         seq integer NOT NULL,
         data bytea NOT NULL,
         PRIMARY KEY (owner, seq));
       CREATE TABLE queue_lines(
         key text PRIMARY KEY,
         holder text NOT NULL,
         lease_end timestamptz,
         generation bigint NOT NULL);
       CREATE TABLE queue_late(
         at timestamptz NOT NULL DEFAULT now(),
         what text NOT NULL,
         generation bigint NOT NULL,
         holder text NOT NULL,
         action text NOT NULL);
       CREATE TABLE queue_returns(
         id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
         account text NOT NULL,
         name text NOT NULL,
         sha256 text NOT NULL,
         bytes bigint NOT NULL,
         received timestamptz NOT NULL DEFAULT now(),
         holder text NOT NULL);
       CREATE INDEX queue_returns_by_name ON queue_returns(account, name, sha256);
       CREATE TABLE queue_return_chunks(
         owner bigint NOT NULL REFERENCES queue_returns(id) ON DELETE CASCADE,
         seq integer NOT NULL,
         data bytea NOT NULL,
         PRIMARY KEY (owner, seq));
       CREATE TABLE queue_deliveries(
         return_id bigint NOT NULL REFERENCES queue_returns(id) ON DELETE CASCADE,
         destination text NOT NULL,
         delivered timestamptz NOT NULL DEFAULT now(),
         PRIMARY KEY (return_id, destination));)",
    // 3: where a submission came from when an outbox fed it (a file of one
    // machine's spool, as it stood: queue/PgQueue.h's QueueInput::origin),
    // so that a run that died before moving the file out finds it queued.
    R"(ALTER TABLE queue_files ADD COLUMN origin text;
       CREATE UNIQUE INDEX queue_by_origin ON queue_files(account, origin)
         WHERE origin IS NOT NULL;)",
};

// The version as recorded, within the transaction that holds the lock.
int Recorded(PgConnection& connection) {
  if (connection.Execute("SELECT to_regclass('journal_schema') IS NULL").Text(0, 0) == "t")
    return 0;
  return static_cast<int>(connection.Execute("SELECT version FROM journal_schema").Int(0, 0));
}

}  // namespace

int PgSchemaVersion() {
  return static_cast<int>(std::size(kSteps));
}

int PgReadSchemaVersion(PgConnection& connection) {
  return Recorded(connection);
}

void PgMigrateSchema(PgConnection& connection, int version) {
  for (;;) {
    PgTransaction transaction(connection);
    connection.Execute("SELECT pg_advisory_xact_lock($1)", {PgInt(kPgSchemaLock)});
    const int from = Recorded(connection);
    if (from > PgSchemaVersion())
      throw PgError(PgError::Kind::kOther, "le journal est au schéma " + std::to_string(from) +
                                               ", plus récent que celui de ce programme (" +
                                               std::to_string(PgSchemaVersion()) +
                                               ") : mettez xmodemq à jour");
    if (from >= version) return transaction.Commit();
    if (from == 0)
      connection.RunScript(
          "CREATE TABLE journal_schema(one boolean PRIMARY KEY DEFAULT true CHECK (one), "
          "version integer NOT NULL); INSERT INTO journal_schema(version) VALUES (0)");
    connection.RunScript(kSteps[from]);
    connection.Execute("UPDATE journal_schema SET version = $1", {PgInt(from + 1)});
    transaction.Commit();
  }
}

std::string PgRowColumns() {
  return "id, call_id, started, ended, direction, file, server_name, server_key, server, "
         "\"user\", line, bytes, blocks, sha256, resumed_from, result, description, "
         "exit_status, pid, process, user_key, again";
}

JournalRow PgReadRow(const PgResult& r, int i) {
  const auto text = [&](int c) -> std::optional<std::string> {
    if (r.IsNull(i, c)) return std::nullopt;
    return r.Text(i, c);
  };
  const auto number = [&](int c) -> std::optional<std::int64_t> {
    if (r.IsNull(i, c)) return std::nullopt;
    return r.Int(i, c);
  };
  JournalRow row;
  row.id = number(0);
  row.call_id = r.Text(i, 1);
  row.started = r.Text(i, 2);
  row.ended = text(3);
  row.direction = r.Text(i, 4);
  row.file = r.Text(i, 5);
  row.server_name = r.Text(i, 6);
  row.server_key = r.Text(i, 7);
  row.server = r.Text(i, 8);
  row.user = r.Text(i, 9);
  row.line = r.Text(i, 10);
  row.bytes = number(11);
  row.blocks = number(12);
  row.sha256 = text(13);
  row.resumed_from = number(14);
  row.result = text(15);
  row.description = r.Text(i, 16);
  row.exit_status = number(17);
  row.pid = r.Int(i, 18);
  row.process = r.Text(i, 19);
  row.user_key = r.Text(i, 20);
  row.again = r.Text(i, 21) == "t";
  return row;
}

}  // namespace xmodemq
