#pragma once

#include "call/Session.h"
#include "commandline/Arguments.h"
#include "exchange/ExchangeReport.h"
#include "exchange/Profile.h"
#include "schedule/EventLog.h"

namespace xmodemq {

// The run of a profile with `queue = true`: the files wait in the journal's
// database, and every machine's runs take their share (QueueRun.cpp). One
// line of the profile is leased first (all of them held elsewhere: try
// later, 75); then a few files are claimed, copied from the database into
// a private folder, and sent in one call on that line. The leases are
// renewed from the call's own waits; a run that could not renew them for
// half the lease stops the transfer and hangs up, before another machine
// may take its files. Each result is recorded under the claim's
// generation. Returns the exchange's exit status (ExitStatus.h).
int RunQueue(const Options& options, const Profile& profile, SessionHost host, const EventLog& log,
             ExchangeReport& report);

}  // namespace xmodemq
