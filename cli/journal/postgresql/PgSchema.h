#pragma once

#include <string>

#include "journal/JournalRow.h"
#include "journal/postgresql/PgConnection.h"

namespace xmodemq {

// The journal's schema on PostgreSQL: the same tables as the SQLite
// journal's (transfers, send_prefixes, the unique index of running sends,
// the exchange's state and alerts), and those of the queue that several
// machines serve (queue/PgQueue.h),
// numbered in the one-row table journal_schema. Several machines may start
// at once on a new database: each step is applied in a transaction of its
// own that first takes the journal's advisory lock (pg_advisory_xact_lock),
// so one of them applies it and the others find it applied.

// The advisory lock that schema steps take: "XMQJ", the journal's mark.
inline constexpr long long kPgSchemaLock = 0x584D514A;

// The schema this program writes: the number of its steps.
int PgSchemaVersion();

// Brings the schema of the connection's database (its search_path's first
// schema) up to `version`, one step per transaction. Throws PgError: kOther
// for a database whose journal is of a newer schema.
void PgMigrateSchema(PgConnection& connection, int version);

// The schema's version as recorded; 0 for a database without a journal.
int PgReadSchemaVersion(PgConnection& connection);

// The columns of a row, in the order PgReadRow() takes them.
std::string PgRowColumns();

// Row `index` of a result that selected PgRowColumns().
JournalRow PgReadRow(const PgResult& result, int index);

}  // namespace xmodemq
