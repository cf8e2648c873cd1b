#include "journal/postgresql/PgConnection.h"

#include "journal/postgresql/PgError.h"

namespace xmodemq {
namespace {

// libpq's message on one line, without its final newline.
std::string Trimmed(const char* message) {
  std::string text = message != nullptr ? message : "";
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  for (char& c : text)
    if (c == '\n') c = ' ';
  return text;
}

}  // namespace

std::string PgResult::Text(int row, int column) const {
  return std::string(Pq().getvalue(result_, row, column),
                     static_cast<std::size_t>(Pq().getlength(result_, row, column)));
}

std::int64_t PgResult::Int(int row, int column) const {
  return std::stoll(Text(row, column));
}

PgConnection::PgConnection(const std::string& address, const PgLimits& limits) : address_(address) {
  const auto parameters = ConnectionParameters(address, limits);
  std::vector<const char*> keywords;
  std::vector<const char*> values;
  for (const auto& [keyword, value] : parameters) {
    keywords.push_back(keyword.c_str());
    values.push_back(value.c_str());
  }
  keywords.push_back(nullptr);
  values.push_back(nullptr);
  conn_.reset(Pq().connectdbParams(keywords.data(), values.data(), 0));
  if (!conn_) throw PgError(PgError::Kind::kUnreachable, "mémoire épuisée");
  if (Pq().status(conn_.get()) != CONNECTION_OK) {
    // libpq gives no SQLSTATE for a failed connection. A server that asked
    // for a password and then closed it turned that password (or the role)
    // down; without a session, anything else is the network or a server
    // that is not there (yet).
    const bool refused = Pq().connectionUsedPassword(conn_.get()) != 0 ||
                         Pq().connectionNeedsPassword(conn_.get()) != 0;
    const std::string why = Trimmed(Pq().errorMessage(conn_.get()));
    throw PgError(
        refused ? PgError::Kind::kRefused : PgError::Kind::kUnreachable,
        WithoutPassword("la " + DescribeAddress(address) + " ne peut pas être jointe : " + why,
                        address));
  }
  // The server's notices ("already exists, skipping") would go to standard
  // error as they come: the journal has none to show.
  Pq().setNoticeProcessor(
      conn_.get(), [](void*, const char*) {}, nullptr);
  Execute("SELECT set_config('statement_timeout', $1, false)",
          {std::to_string(limits.statement.count()) + "ms"});
}

PgResult PgConnection::Execute(const std::string& sql, const std::vector<PgParam>& params) {
  std::vector<const char*> values;
  for (const PgParam& p : params) values.push_back(p ? p->c_str() : nullptr);
  PgResult result(Pq().execParams(conn_.get(), sql.c_str(), static_cast<int>(values.size()),
                                  nullptr, values.data(), nullptr, nullptr, 0));
  // PQexecParams returns null only when out of memory or without a
  // connection; Pq().resultStatus(null) reads PGRES_FATAL_ERROR.
  const ExecStatusType status = Pq().resultStatus(result.Raw());
  if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return result;
  Fail(result);
}

void PgConnection::RunScript(const std::string& sql) {
  PgResult result(Pq().exec(conn_.get(), sql.c_str()));
  const ExecStatusType status = Pq().resultStatus(result.Raw());
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) Fail(result);
}

void PgConnection::Fail(const PgResult& result) const {
  const char* sqlstate = Pq().resultErrorField(result.Raw(), PG_DIAG_SQLSTATE);
  const std::string state = sqlstate != nullptr ? sqlstate : "";
  std::string why = Trimmed(Pq().resultErrorMessage(result.Raw()));
  if (why.empty()) why = Trimmed(Pq().errorMessage(conn_.get()));
  // Whatever the server said last (57P01 on its way down, or nothing when
  // the line broke), a session that is gone is a server to try later.
  const PgError::Kind kind = Pq().status(conn_.get()) != CONNECTION_OK ? PgError::Kind::kUnreachable
                                                                       : KindOfSqlState(state);
  throw PgError(kind, WithoutPassword("la " + DescribeAddress(address_) + " : " + why, address_),
                state);
}

PgTransaction::PgTransaction(PgConnection& connection) : connection_(connection) {
  connection_.Execute("BEGIN");
}

PgTransaction::~PgTransaction() {
  if (done_) return;
  try {
    connection_.Execute("ROLLBACK");
  } catch (const PgError&) {
    // The connection is gone: the server dropped the transaction with it.
  }
}

void PgTransaction::Commit() {
  done_ = true;
  connection_.Execute("COMMIT");
}

}  // namespace xmodemq
