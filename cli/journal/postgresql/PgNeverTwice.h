#pragma once

#include <string>
#include <vector>

#include "journal/JournalRow.h"
#include "journal/NeverTwice.h"
#include "journal/postgresql/PgConnection.h"

namespace xmodemq {

// The never-twice rule (NeverTwice.h) on PostgreSQL, for the sends of one
// call, in one transaction: each send of `rows` (with its prefix digests,
// raw bytes) is checked against the running sends and the earlier sends of
// the same file, and when none holds any of them back, all are written as
// reserved (id set, no line yet, user_key worked out). The unique index of
// running sends settles two machines that check at the same moment: the
// second one's row waits for the first one's transaction, then finds the
// send running (kRunning) and nothing of its call is reserved. One verdict
// per row. Throws PgError.
std::vector<SendVerdict> PgReserveSends(PgConnection& connection, std::vector<JournalRow>& rows,
                                        const std::vector<std::string>& prefixes, Repeat repeat);

}  // namespace xmodemq
