#include "journal/postgresql/PgJournal.h"

#include "files/Sha256.h"
#include "journal/postgresql/OutcomesKept.h"
#include "journal/postgresql/PgNeverTwice.h"
#include "journal/postgresql/PgSchema.h"
#include "record/LineText.h"
#include "system/ProcessIdentity.h"

namespace xmodemq {
namespace {

PgParam Number(const std::optional<std::int64_t>& value) {
  return value ? PgInt(*value) : PgParam();
}

// A database that cannot do it now (a statement over its time-out, a
// conflict, resources exhausted) is, for the command, one that cannot be
// reached: try later (75), an outcome kept on this machine meanwhile.
JournalError::Kind KindOf(const PgError& e) {
  return e.TryLater() ? JournalError::Kind::kUnreachable : JournalError::Kind::kOther;
}

// The raw bytes of a bytea that the server sent as hex ("\x0102…").
std::string FromHex(const std::string& text) {
  std::string bytes;
  const auto value = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
  for (std::size_t i = 2; i + 1 < text.size(); i += 2)
    bytes.push_back(static_cast<char>(value(text[i]) << 4 | value(text[i + 1])));
  return bytes;
}

// This machine's processes: the boot's id that begins their identity.
std::string ThisBoot() {
  const std::string me = ThisProcess();
  return me.substr(0, me.find(' '));
}

}  // namespace

template <typename Work>
auto PgJournal::Guard(const char* doing, Work work) const -> decltype(work()) {
  try {
    return work();
  } catch (const PgError& e) {
    throw JournalError("le journal (" + described_ + ") ne peut pas " + doing + " : " + e.what(),
                       KindOf(e));
  }
}

PgJournal::PgJournal(const JournalPlace& place, std::unique_ptr<PgConnection> connection)
    : place_(place),
      described_(DescribeAddress(place.address)),
      connection_(std::move(connection)) {}

PgJournal::~PgJournal() = default;

std::unique_ptr<PgJournal> PgJournal::Open(const JournalPlace& place, Access access) {
  std::unique_ptr<PgConnection> connection;
  try {
    connection = std::make_unique<PgConnection>(place.address);
  } catch (const PgError& e) {
    throw JournalError(std::string("le journal ne peut pas être ouvert : ") + e.what(), KindOf(e));
  }
  std::unique_ptr<PgJournal> journal(new PgJournal(place, std::move(connection)));
  PgConnection& db = *journal->connection_;
  journal->Guard("être ouvert", [&] {
    if (access == Access::kWrite) PgMigrateSchema(db, PgSchemaVersion());
    journal->version_ = PgReadSchemaVersion(db);
    if (journal->version_ > PgSchemaVersion())
      throw PgError(PgError::Kind::kOther, "schéma " + std::to_string(journal->version_) +
                                               ", plus récent que celui de ce programme : "
                                               "mettez xmodemq à jour");
  });
  if (access == Access::kWrite) journal->WriteKept();
  return journal;
}

void PgJournal::WriteKept() {
  WriteKeptOutcomes(place_, [this](const JournalRow& row) {
    Guard("être écrit", [&] {
      PgTransaction transaction(*connection_);
      WriteEnd(row);
      transaction.Commit();
    });
  });
}

void PgJournal::MarkDead() {
  Settle("split_part(process, ' ', 1) = $1", ThisBoot(), false);
}

void PgJournal::MarkLeaseEnded(const std::string& process) {
  Settle("process = $1", process, true);
}

void PgJournal::Settle(const std::string& which, const std::string& value, bool lease_ended) {
  Guard("être écrit", [&] {
    PgTransaction transaction(*connection_);
    const PgResult open = connection_->Execute(
        "SELECT id, pid, process, direction, line, blocks FROM transfers WHERE result IS NULL "
        "AND " +
            which + " FOR UPDATE",
        {value});
    for (int i = 0; i < open.Rows(); ++i) {
      JournalRow row;
      row.pid = open.Int(i, 1);
      row.process = open.Text(i, 2);
      row.direction = open.Text(i, 3);
      row.line = open.Text(i, 4);
      if (!open.IsNull(i, 5)) row.blocks = open.Int(i, 5);
      // A process whose lease ended has stopped, whether or not it lives.
      if (lease_ended) row.pid = 0;
      const std::string result = ResultNow(row);
      if (result == "running") continue;
      const PgParam id = open.Text(i, 0);
      if (row.direction == "send" && row.line.empty())
        connection_->Execute("DELETE FROM transfers WHERE id = $1 AND result IS NULL", {id});
      else
        connection_->Execute(
            "UPDATE transfers SET result = $1, blocks = CASE WHEN blocks < 0 THEN NULL ELSE "
            "blocks END WHERE id = $2 AND result IS NULL",
            {result, id});
    }
    transaction.Commit();
  });
}

std::vector<SendVerdict> PgJournal::ReserveSends(std::vector<JournalRow>& rows,
                                                 const std::vector<std::string>& prefixes,
                                                 Repeat repeat) {
  MarkDead();
  return Guard("être écrit", [&] { return PgReserveSends(*connection_, rows, prefixes, repeat); });
}

void PgJournal::Release(const JournalRow& row) {
  Guard("être écrit", [&] {
    connection_->Execute("DELETE FROM transfers WHERE id = $1 AND line = '' AND result IS NULL",
                         {Number(row.id)});
  });
}

// The server bounds each statement (statement_timeout): nothing waits here
// for long enough to need `stop_waiting`.
void PgJournal::Begin(JournalRow& row, const std::string& prefixes, std::function<bool()>) {
  const bool reserved = row.id.has_value();
  try {
    Guard("être écrit", [&] {
      if (reserved) {
        connection_->Execute(
            "UPDATE transfers SET line = $1, started = $2, blocks = $3 WHERE id = $4",
            {row.line, row.started, Number(row.blocks), Number(row.id)});
        return;
      }
      row.user_key = AccountOf(row.user);
      PgTransaction transaction(*connection_);
      const PgResult inserted = connection_->Execute(
          "INSERT INTO transfers(call_id, started, direction, file, server_name, server_key, "
          "server, \"user\", user_key, line, bytes, sha256, pid, process, again, blocks) "
          "VALUES($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14, $15, $16) "
          "RETURNING id",
          {row.call_id, row.started, row.direction, row.file, row.server_name, row.server_key,
           row.server, row.user, row.user_key, row.line, Number(row.bytes), row.sha256,
           PgInt(row.pid), row.process, row.again ? "true" : "false", Number(row.blocks)});
      row.id = inserted.Int(0, 0);
      if (!prefixes.empty())
        connection_->Execute(
            "INSERT INTO send_prefixes(transfer, digests) VALUES($1, decode($2, 'hex'))",
            {PgInt(*row.id), Hex(prefixes)});
      transaction.Commit();
    });
  } catch (const JournalError&) {
    if (!reserved) row.id.reset();
    throw;
  }
}

void PgJournal::WriteEnd(const JournalRow& row) {
  connection_->Execute(
      "UPDATE transfers SET ended = $1, bytes = $2, blocks = $3, sha256 = $4, resumed_from = $5, "
      "result = $6, description = $7, exit_status = $8 WHERE id = $9",
      {row.ended, Number(row.bytes), Number(row.blocks), row.sha256, Number(row.resumed_from),
       row.result, row.description, Number(row.exit_status), Number(row.id)});
  const bool ended_well = row.result == "rvTrue";
  if (row.direction == "send" && (ended_well || row.blocks.value_or(0) > 0))
    connection_->Execute(
        "DELETE FROM send_prefixes WHERE transfer IN (SELECT id FROM transfers WHERE direction = "
        "'send' AND server = $1 AND user_key = $2 AND server_key = $3 AND id < $4)",
        {row.server, AccountOf(row.user), row.server_key, Number(row.id)});
  if (ended_well)
    connection_->Execute("DELETE FROM send_prefixes WHERE transfer = $1", {Number(row.id)});
}

void PgJournal::End(const JournalRow& row) {
  try {
    Guard("être écrit", [&] {
      PgTransaction transaction(*connection_);
      WriteEnd(row);
      transaction.Commit();
    });
  } catch (const JournalError& e) {
    if (!e.Unreachable()) throw;
    // The database went away during the call: the outcome waits here.
    KeepOutcome(place_, row);
    throw JournalError(std::string(e.what()) + ". L'issue du transfert est gardée dans " +
                           place_.path +
                           ".en-attente et sera écrite dans la base au prochain "
                           "lancement",
                       JournalError::Kind::kUnreachable);
  }
}

std::optional<SentVersion> PgJournal::LastVersionSent(const JournalRow& like) const {
  return Guard("être lu", [&]() -> std::optional<SentVersion> {
    const PgResult found = connection_->Execute(
        "SELECT t.started, t.file, t.bytes, t.sha256, p.digests FROM transfers t LEFT JOIN "
        "send_prefixes p ON p.transfer = t.id WHERE t.direction = 'send' AND t.server = $1 AND "
        "t.user_key = $2 AND t.server_key = $3 AND t.id IS DISTINCT FROM $4::bigint AND "
        "t.line <> '' AND (t.blocks IS NULL OR t.blocks > 0 OR t.result = 'rvTrue') "
        "ORDER BY t.id DESC LIMIT 1",
        {like.server, AccountOf(like.user), like.server_key, Number(like.id)});
    if (found.Rows() == 0) return std::nullopt;
    SentVersion version{found.Text(0, 0), found.Text(0, 1), std::nullopt, std::nullopt, {}};
    if (!found.IsNull(0, 2)) version.bytes = found.Int(0, 2);
    if (!found.IsNull(0, 3)) version.sha256 = found.Text(0, 3);
    if (!found.IsNull(0, 4)) version.prefixes = FromHex(found.Text(0, 4));
    return version;
  });
}

void PgJournal::AllBlocksHeld(std::int64_t id, std::int64_t blocks) {
  Guard("être écrit", [&] {
    connection_->Execute("UPDATE transfers SET blocks = $1 WHERE id = $2 AND result IS NULL",
                         {PgInt(blocks), PgInt(id)});
  });
}

void PgJournal::Refile(std::int64_t id, const std::string& path) {
  Guard("être écrit", [&] {
    connection_->Execute("UPDATE transfers SET file = $1 WHERE id = $2", {path, PgInt(id)});
  });
}

bool PgJournal::ReceivedInto(const std::string& path, const std::string& sha256) const {
  if (version_ == 0) return false;
  return Guard("être lu", [&] {
    return connection_
               ->Execute(
                   "SELECT 1 FROM transfers WHERE direction = 'receive' AND file = $1 AND "
                   "sha256 = $2 AND result = 'rvTrue' LIMIT 1",
                   {path, sha256})
               .Rows() > 0;
  });
}

void PgJournal::RefileReceive(const std::string& from, const std::string& to) {
  Guard("être écrit", [&] {
    connection_->Execute(
        "UPDATE transfers SET file = $1 WHERE file = $2 AND direction = 'receive' AND result = "
        "'rvTrue'",
        {to, from});
  });
}

bool PgJournal::ReceivedBefore(const JournalRow& like) const {
  if (version_ == 0 || !like.sha256) return false;
  return Guard("être lu", [&] {
    return connection_
               ->Execute(
                   "SELECT 1 FROM transfers WHERE direction = 'receive' AND server = $1 AND "
                   "user_key = $2 AND server_key = $3 AND sha256 = $4 AND result = 'rvTrue' "
                   "AND file <> $5 LIMIT 1",
                   {like.server, AccountOf(like.user), like.server_key, like.sha256, like.file})
               .Rows() > 0;
  });
}

std::optional<JournalRow> PgJournal::LastAsked(const JournalRow& like,
                                               const std::string& since_utc) const {
  if (version_ == 0) return std::nullopt;
  return Guard("être lu", [&]() -> std::optional<JournalRow> {
    const PgResult last = connection_->Execute(
        "SELECT " + PgRowColumns() +
            " FROM transfers WHERE direction = 'receive' AND server = $1 AND user_key = $2 AND "
            "server_key = $3 AND started >= $4 AND result IN ('rvTrue', 'rvRefuse') "
            "ORDER BY id DESC LIMIT 1",
        {like.server, AccountOf(like.user), like.server_key, since_utc});
    if (last.Rows() == 0) return std::nullopt;
    return PgReadRow(last, 0);
  });
}

std::vector<JournalRow> PgJournal::List(const std::optional<std::string>& since_utc) const {
  if (version_ == 0) return {};
  return Guard("être lu", [&] {
    const PgResult list = connection_->Execute(
        "SELECT " + PgRowColumns() +
            " FROM transfers WHERE ($1::text IS NULL OR started >= $1) AND NOT (direction = "
            "'send' AND line = '' AND result IS NULL) ORDER BY id",
        {since_utc});
    std::vector<JournalRow> rows;
    for (int i = 0; i < list.Rows(); ++i) rows.push_back(PgReadRow(list, i));
    return rows;
  });
}

CallState PgJournal::LoadCallState(const std::string& profile) const {
  CallState state;
  if (version_ == 0) return state;
  return Guard("être lu", [&] {
    const PgResult r = connection_->Execute(
        "SELECT last_call, last_result, failures, failing_since, next_call, calls_day, "
        "calls_today, stopped FROM exchange_state WHERE profile = $1",
        {profile});
    if (r.Rows() == 0) return state;
    const auto text = [&](int c) -> std::optional<std::string> {
      if (r.IsNull(0, c)) return std::nullopt;
      return r.Text(0, c);
    };
    state.last_call = text(0);
    state.last_result = r.Text(0, 1);
    state.failures = r.Int(0, 2);
    state.failing_since = text(3);
    state.next_call = text(4);
    state.calls_day = r.Text(0, 5);
    state.calls_today = r.Int(0, 6);
    state.stopped = r.Text(0, 7);
    return state;
  });
}

void PgJournal::SaveCallState(const std::string& profile, const CallState& state) {
  Guard("être écrit", [&] {
    connection_->Execute(
        "INSERT INTO exchange_state(profile, last_call, last_result, failures, failing_since, "
        "next_call, calls_day, calls_today, stopped) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9) "
        "ON CONFLICT (profile) DO UPDATE SET last_call = EXCLUDED.last_call, last_result = "
        "EXCLUDED.last_result, failures = EXCLUDED.failures, failing_since = "
        "EXCLUDED.failing_since, next_call = EXCLUDED.next_call, calls_day = EXCLUDED.calls_day, "
        "calls_today = EXCLUDED.calls_today, stopped = EXCLUDED.stopped",
        {profile, state.last_call, state.last_result, PgInt(state.failures), state.failing_since,
         state.next_call, state.calls_day, PgInt(state.calls_today), state.stopped});
  });
}

std::vector<AlertRecord> PgJournal::Alerts(const std::string& profile, bool open_only) const {
  if (version_ == 0) return {};
  return Guard("être lu", [&] {
    const PgResult r = connection_->Execute(
        "SELECT id, condition, detail, opened, closed, command FROM exchange_alerts WHERE "
        "profile = $1 AND ($2::boolean IS FALSE OR closed IS NULL) ORDER BY id",
        {profile, open_only ? "true" : "false"});
    std::vector<AlertRecord> alerts;
    for (int i = 0; i < r.Rows(); ++i)
      alerts.push_back({r.Int(i, 0), r.Text(i, 1), r.Text(i, 2), r.Text(i, 3),
                        r.IsNull(i, 4) ? std::nullopt : std::optional(r.Text(i, 4)), r.Text(i, 5)});
    return alerts;
  });
}

std::int64_t PgJournal::OpenAlert(const std::string& profile, const AlertRecord& alert) {
  return Guard("être écrit", [&]() -> std::int64_t {
    const PgResult r = connection_->Execute(
        "INSERT INTO exchange_alerts(profile, condition, detail, opened, command) VALUES ($1, $2, "
        "$3, $4, $5) ON CONFLICT DO NOTHING RETURNING id",
        {profile, alert.condition, alert.detail, alert.opened, alert.command});
    // Another run opened it meanwhile: it alerts, not this one.
    return r.Rows() == 1 ? r.Int(0, 0) : 0;
  });
}

void PgJournal::NoteAlert(std::int64_t id, const std::optional<std::string>& closed,
                          const std::string& command) {
  Guard("être écrit", [&] {
    connection_->Execute("UPDATE exchange_alerts SET closed = $1, command = $2 WHERE id = $3",
                         {closed, command, PgInt(id)});
  });
}

}  // namespace xmodemq
