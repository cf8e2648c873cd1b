#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "journal/postgresql/LibPq.h"
#include "journal/postgresql/PgAddress.h"

namespace xmodemq {

// One statement's result, cleared with the object.
class PgResult {
 public:
  explicit PgResult(PGresult* result) : result_(result) {}
  ~PgResult() { Pq().clear(result_); }
  PgResult(PgResult&& other) noexcept : result_(other.result_) { other.result_ = nullptr; }
  PgResult& operator=(PgResult&&) = delete;
  PgResult(const PgResult&) = delete;
  PgResult& operator=(const PgResult&) = delete;

  int Rows() const { return Pq().ntuples(result_); }
  bool IsNull(int row, int column) const { return Pq().getisnull(result_, row, column) != 0; }
  std::string Text(int row, int column) const;
  std::int64_t Int(int row, int column) const;
  PGresult* Raw() const { return result_; }

 private:
  PGresult* result_;
};

// A value for a statement's $n: text, or NULL.
using PgParam = std::optional<std::string>;
inline PgParam PgInt(std::int64_t value) {
  return std::to_string(value);
}

// One session with the server, closed with the object. Every statement
// takes its values as bound parameters ($1, $2, …), never pasted in its text.
class PgConnection {
 public:
  // Connects to `address` with ConnectionParameters() and sets the session's
  // statement_timeout. Throws PgError: kRefused when the server turned the
  // password or the role down, kUnreachable otherwise.
  explicit PgConnection(const std::string& address, const PgLimits& limits = {});
  PgConnection(const PgConnection&) = delete;
  PgConnection& operator=(const PgConnection&) = delete;

  // Runs one statement. Throws PgError, of the kind its SQLSTATE says
  // (kUnreachable whenever the session is lost).
  PgResult Execute(const std::string& sql, const std::vector<PgParam>& params = {});
  // Runs statements that take no values at all (a schema step, a file of
  // grants), one after the other. Throws PgError.
  void RunScript(const std::string& sql);

 private:
  [[noreturn]] void Fail(const PgResult& result) const;
  std::string address_;
  struct Finish {
    void operator()(PGconn* conn) const { Pq().finish(conn); }
  };
  std::unique_ptr<PGconn, Finish> conn_;
};

// BEGIN … COMMIT, rolled back unless committed (a rollback on a connection
// that is gone is left to the server, which drops the transaction).
class PgTransaction {
 public:
  explicit PgTransaction(PgConnection& connection);
  ~PgTransaction();
  PgTransaction(const PgTransaction&) = delete;
  PgTransaction& operator=(const PgTransaction&) = delete;
  void Commit();

 private:
  PgConnection& connection_;
  bool done_ = false;
};

}  // namespace xmodemq
