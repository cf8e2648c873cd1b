#pragma once

#include <stdexcept>
#include <string>

namespace xmodemq {

// A failure of the PostgreSQL journal, sorted by what the caller does next.
// Its message never carries a password: every text that comes from the
// address or from libpq goes through WithoutPassword() first.
class PgError : public std::runtime_error {
 public:
  enum class Kind {
    // The server cannot be reached, or went away (SQLSTATE class 08, a
    // server shutting down 57P01-57P03, a connection lost without a
    // status): a later try may find it.
    kUnreachable,
    // The server answered and said no: a password or a role it refuses
    // (class 28), a right the role lacks (42501). Trying again changes
    // nothing until someone changes the set-up.
    kRefused,
    // The server is there but could not do it now: a statement over its
    // time-out (57014), a serialization failure or a deadlock (40001,
    // 40P01), resources exhausted (class 53), a lock not available (55P03).
    kBusy,
    // Anything else: a fault of the program or of the database's contents.
    kOther,
  };
  PgError(Kind kind, const std::string& what, std::string sqlstate = {})
      : std::runtime_error(what), kind_(kind), sqlstate_(std::move(sqlstate)) {}
  Kind GetKind() const { return kind_; }
  // A later try may succeed (kUnreachable or kBusy).
  bool TryLater() const { return kind_ == Kind::kUnreachable || kind_ == Kind::kBusy; }
  // The five characters of the server's SQLSTATE; empty when none came.
  const std::string& SqlState() const { return sqlstate_; }

 private:
  Kind kind_;
  std::string sqlstate_;
};

// The kind of a failure the server reported with `sqlstate` (empty: the
// connection was lost before any status came).
PgError::Kind KindOfSqlState(const std::string& sqlstate);

// `text` with the password of `address` (as written, or percent-encoded in
// a URI) and any "user:password@" of a postgresql:// address replaced by
// "***". For texts that come from the address or from libpq.
std::string WithoutPassword(const std::string& text, const std::string& address);

}  // namespace xmodemq
