#include "journal/postgresql/PgNeverTwice.h"

#include "journal/postgresql/PgError.h"
#include "journal/postgresql/PgSchema.h"
#include "record/LineText.h"

namespace xmodemq {
namespace {

using Kind = SendVerdict::Kind;

const std::string kSame =
    " FROM transfers WHERE direction = 'send' AND server = $1 AND user_key = $2 AND "
    "server_key = $3 AND ";

std::optional<JournalRow> First(PgConnection& connection, const std::string& sql,
                                const std::vector<PgParam>& params) {
  const PgResult found = connection.Execute(sql, params);
  if (found.Rows() == 0) return std::nullopt;
  return PgReadRow(found, 0);
}

// What the journal holds of the send of `row`, as seen now.
SendVerdict Check(PgConnection& connection, const JournalRow& row, Repeat repeat) {
  SendVerdict verdict;
  const std::vector<PgParam> same = {row.server, row.user_key, row.server_key};
  if ((verdict.earlier =
           First(connection, "SELECT " + PgRowColumns() + kSame + "result IS NULL", same))) {
    verdict.kind = Kind::kRunning;
    return verdict;
  }
  std::vector<PgParam> sent = same;
  sent.push_back(row.sha256);
  verdict.earlier = First(connection,
                          "SELECT " + PgRowColumns() + kSame +
                              "sha256 = $4 AND result IN ('rvTrue', 'unknown') "
                              "ORDER BY result = 'rvTrue' DESC, id DESC LIMIT 1",
                          sent);
  if (verdict.earlier && repeat != Repeat::kAgain) {
    const bool went = verdict.earlier->result == "rvTrue";
    verdict.kind = went                           ? Kind::kSent
                   : repeat == Repeat::kAskServer ? Kind::kAskServer
                                                  : Kind::kUnknown;
  }
  return verdict;
}

std::string Hex(const std::string& bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    out += kHex[b >> 4];
    out += kHex[b & 0xF];
  }
  return out;
}

// The reserving row, unless a running send of the same file took its place
// in the unique index meanwhile (false).
bool Insert(PgConnection& connection, JournalRow& row, const std::string& prefixes) {
  const PgResult inserted = connection.Execute(
      "INSERT INTO transfers(call_id, started, direction, file, server_name, server_key, server, "
      "\"user\", user_key, line, bytes, sha256, pid, process, again, blocks) "
      "VALUES($1, $2, 'send', $3, $4, $5, $6, $7, $8, '', $9, $10, $11, $12, $13, $14) "
      "ON CONFLICT (server, user_key, server_key) WHERE direction = 'send' AND result IS NULL "
      "DO NOTHING RETURNING id",
      {row.call_id, row.started, row.file, row.server_name, row.server_key, row.server, row.user,
       row.user_key, row.bytes ? PgInt(*row.bytes) : PgParam(), row.sha256, PgInt(row.pid),
       row.process, row.again ? "true" : "false", row.blocks ? PgInt(*row.blocks) : PgParam()});
  if (inserted.Rows() == 0) return false;
  row.id = inserted.Int(0, 0);
  if (!prefixes.empty())
    connection.Execute("INSERT INTO send_prefixes(transfer, digests) VALUES($1, decode($2, 'hex'))",
                       {PgInt(*row.id), Hex(prefixes)});
  return true;
}

}  // namespace

std::vector<SendVerdict> PgReserveSends(PgConnection& connection, std::vector<JournalRow>& rows,
                                        const std::vector<std::string>& prefixes, Repeat repeat) {
  for (JournalRow& row : rows) row.user_key = AccountOf(row.user);
  // A row that another machine reserved between the check and the insert
  // (its transaction committed since) is seen by the next try's check, which
  // holds the send back. Each try that fails so is another's success.
  for (int attempt = 0; attempt < 3; ++attempt) {
    std::vector<SendVerdict> verdicts;
    for (JournalRow& row : rows) row.id.reset();
    PgTransaction transaction(connection);
    bool held = false;
    for (JournalRow& row : rows) {
      verdicts.push_back(Check(connection, row, repeat));
      row.again = repeat == Repeat::kAgain && verdicts.back().earlier.has_value();
      held = held || verdicts.back().Held();
    }
    if (held) return verdicts;  // rolled back: nothing was written
    bool taken = false;
    for (std::size_t i = 0; i < rows.size() && !taken; ++i)
      taken = !Insert(connection, rows[i], prefixes[i]);
    if (taken) continue;  // rolled back: none of the call is reserved
    transaction.Commit();
    return verdicts;
  }
  for (JournalRow& row : rows) row.id.reset();
  throw PgError(PgError::Kind::kBusy,
                "d'autres machines réservent sans cesse les mêmes envois : réessayez");
}

}  // namespace xmodemq
