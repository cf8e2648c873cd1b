#pragma once

#include "exchange/ExchangeReport.h"
#include "exchange/Profile.h"
#include "schedule/EventLog.h"

namespace xmodemq {

class PgQueue;

// An outbox that feeds the queue of several machines (QueueOutbox.cpp): on
// a queue machine whose profile has a `spool`, a run first takes the
// outbox's complete, settled files, checked as the one-machine run checks
// them (what fails a check is held with its NAME.raison), submits them in
// one transaction as `xmodemq submit` does, then moves each one to
// queued/YYYY-MM-DD/: it is in the queue, not yet sent. Under the spool's
// lock; another run of the profile holding it is feeding it now, and this
// one leaves the outbox alone. Counted in `report` (queued, held, waiting).
// Throws Refusal (spool not safe), FileFailure and JournalError.
void FeedQueue(PgQueue& queue, const Profile& profile, const EventLog& log, ExchangeReport& report);

}  // namespace xmodemq
