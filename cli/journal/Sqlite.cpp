#include "journal/Sqlite.h"

namespace xmodemq {

Database::Database(const std::string& path, int flags) {
  const int code = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
  if (code != SQLITE_OK) {
    const std::string message = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(code);
    sqlite3_close_v2(db_);
    db_ = nullptr;
    throw SqliteError(code, message);
  }
  sqlite3_extended_result_codes(db_, 1);
}

Database::~Database() {
  sqlite3_close_v2(db_);
}

void Database::Check(int code) const {
  if (code != SQLITE_OK && code != SQLITE_ROW && code != SQLITE_DONE)
    throw SqliteError(code, sqlite3_errmsg(db_));
}

void Database::Execute(const char* sql) {
  Check(sqlite3_exec(db_, sql, nullptr, nullptr, nullptr));
}

Statement::Statement(const Database& db, const char* sql) : db_(db) {
  db_.Check(sqlite3_prepare_v2(db.Get(), sql, -1, &statement_, nullptr));
}

Statement::~Statement() {
  sqlite3_finalize(statement_);
}

Statement& Statement::Bind(int index, std::int64_t value) {
  db_.Check(sqlite3_bind_int64(statement_, index, value));
  return *this;
}

Statement& Statement::Bind(int index, const std::string& value) {
  db_.Check(sqlite3_bind_text(statement_, index, value.data(), static_cast<int>(value.size()),
                              SQLITE_TRANSIENT));
  return *this;
}

Statement& Statement::Bind(int index, const std::optional<std::int64_t>& value) {
  if (value) return Bind(index, *value);
  db_.Check(sqlite3_bind_null(statement_, index));
  return *this;
}

Statement& Statement::Bind(int index, const std::optional<std::string>& value) {
  if (value) return Bind(index, *value);
  db_.Check(sqlite3_bind_null(statement_, index));
  return *this;
}

Statement& Statement::BindBlob(int index, const std::string& bytes) {
  db_.Check(sqlite3_bind_blob64(statement_, index, bytes.data(), bytes.size(), SQLITE_TRANSIENT));
  return *this;
}

bool Statement::Step() {
  const int code = sqlite3_step(statement_);
  if (code == SQLITE_ROW) return true;
  if (code == SQLITE_DONE) return false;
  // The statement's own code and message; it is ready to run again.
  const SqliteError error(code, sqlite3_errmsg(db_.Get()));
  sqlite3_reset(statement_);
  throw error;
}

void Statement::Run() {
  while (Step()) {
  }
  Reset();
}

void Statement::Reset() {
  sqlite3_reset(statement_);
  sqlite3_clear_bindings(statement_);
}

bool Statement::IsNull(int column) const {
  return sqlite3_column_type(statement_, column) == SQLITE_NULL;
}

std::int64_t Statement::Int(int column) const {
  return sqlite3_column_int64(statement_, column);
}

std::optional<std::int64_t> Statement::OptionalInt(int column) const {
  if (IsNull(column)) return std::nullopt;
  return Int(column);
}

std::string Statement::Text(int column) const {
  const auto* text = sqlite3_column_text(statement_, column);
  if (text == nullptr) return {};
  return std::string(reinterpret_cast<const char*>(text),
                     static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)));
}

std::optional<std::string> Statement::OptionalText(int column) const {
  if (IsNull(column)) return std::nullopt;
  return Text(column);
}

std::string Statement::Blob(int column) const {
  const void* data = sqlite3_column_blob(statement_, column);
  if (data == nullptr) return {};
  return std::string(static_cast<const char*>(data),
                     static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)));
}

WriteTransaction::WriteTransaction(Database& db) : db_(db) {
  db_.Execute("BEGIN IMMEDIATE");
}

WriteTransaction::~WriteTransaction() {
  if (!done_) sqlite3_exec(db_.Get(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void WriteTransaction::Commit() {
  db_.Execute("COMMIT");
  done_ = true;
}

}  // namespace xmodemq
