#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace xmodemq {

// A failure that SQLite reported: its result code and its message.
class SqliteError : public std::runtime_error {
 public:
  SqliteError(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
  int Code() const { return code_; }

 private:
  int code_;
};

// One connection, closed with the object.
class Database {
 public:
  // sqlite3_open_v2 with `flags`. Throws SqliteError.
  Database(const std::string& path, int flags);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  sqlite3* Get() const { return db_; }
  // Runs statements that take no parameters. Throws SqliteError.
  void Execute(const char* sql);
  // Throws SqliteError for `code` unless it is SQLITE_OK.
  void Check(int code) const;

 private:
  sqlite3* db_ = nullptr;
};

// A prepared statement; values are bound by position (from 1), never pasted
// into the text.
class Statement {
 public:
  Statement(const Database& db, const char* sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int index, std::int64_t value);
  Statement& Bind(int index, const std::string& value);
  Statement& Bind(int index, const std::optional<std::int64_t>& value);
  Statement& Bind(int index, const std::optional<std::string>& value);
  Statement& BindBlob(int index, const std::string& bytes);
  // True while it yields a row. Throws SqliteError.
  bool Step();
  // Runs it to its end and readies it for new values.
  void Run();
  void Reset();

  bool IsNull(int column) const;
  std::int64_t Int(int column) const;
  std::optional<std::int64_t> OptionalInt(int column) const;
  std::string Text(int column) const;
  std::optional<std::string> OptionalText(int column) const;
  std::string Blob(int column) const;

 private:
  const Database& db_;
  sqlite3_stmt* statement_ = nullptr;
};

// BEGIN IMMEDIATE: the write lock is taken at once (waiting out the busy
// time-out), so two writers never deadlock upgrading a read. Rolled back
// unless committed.
class WriteTransaction {
 public:
  explicit WriteTransaction(Database& db);
  ~WriteTransaction();
  WriteTransaction(const WriteTransaction&) = delete;
  WriteTransaction& operator=(const WriteTransaction&) = delete;
  void Commit();

 private:
  Database& db_;
  bool done_ = false;
};

}  // namespace xmodemq
