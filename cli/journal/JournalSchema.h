#pragma once

#include <string>

#include "journal/JournalRow.h"
#include "journal/Sqlite.h"

namespace xmodemq {

// The journal's schema, numbered by PRAGMA user_version: the steps that
// build it, and how a row is read back.

// The columns of a row, in the order ReadRow() takes them.
#define XMQ_ROW_COLUMNS                                                                   \
  "id, call_id, started, ended, direction, file, server_name, server_key, server, user, " \
  "line, bytes, blocks, sha256, resumed_from, result, description, exit_status, pid, process"

// The schema this program writes: the number of its steps.
int SchemaVersion();

// Brings the schema of an open database from its version to `version`, in
// one transaction (exposed for the tests of older journals).
void MigrateSchema(Database& db, int version);

// A row from a statement that selected XMQ_ROW_COLUMNS.
JournalRow ReadRow(const Statement& s);

// What an SQLite failure means to a user ("disque plein").
std::string SqliteText(const SqliteError& e);

}  // namespace xmodemq
