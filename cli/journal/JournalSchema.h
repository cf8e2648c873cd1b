#pragma once

#include <string>

#include "journal/JournalRow.h"
#include "journal/Sqlite.h"

namespace xmodemq {

// The journal's schema, numbered by PRAGMA user_version: the steps that
// build it, and how a row is read back.

// The journal's mark in the SQLite header (PRAGMA application_id): "XMQJ".
// A database with tables but another mark is not a journal; an earlier
// xmodemq's journal (no mark, schema 1 or 2) gets it from step 3.
inline constexpr int kApplicationId = 0x584D514A;

// The columns of a row, in the order ReadRow() takes them, as a journal of
// schema `version` has them (older ones lack the last two: the account is
// worked out as step 3 does, and no send of theirs was a deliberate repeat).
std::string RowColumns(int version);

// The schema this program writes: the number of its steps.
int SchemaVersion();

// Brings the schema of an open database from its version to `version`, in
// one transaction (exposed for the tests of older journals).
void MigrateSchema(Database& db, int version);

// A row from a statement that selected RowColumns().
JournalRow ReadRow(const Statement& s);

// What an SQLite failure means to a user ("disque plein").
std::string SqliteText(const SqliteError& e);
// Whether it is another process that holds the database (busy, locked).
bool SqliteBusy(const SqliteError& e);

}  // namespace xmodemq
