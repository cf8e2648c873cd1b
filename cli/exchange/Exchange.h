#pragma once

#include "call/Session.h"
#include "commandline/Arguments.h"

namespace xmodemq {

// `xmodemq exchange --profile FILE [--check] [--now] [--json]`: the day's
// exchange of one account (ExchangeRun.cpp). Returns the exit status
// (ExitStatus.h); with --json one object on stdout whatever happens.
int RunExchange(const Options& options, SessionHost host = {});
// `xmodemq exchange status --profile FILE [--json]`: the spool's state,
// read only, during a run too (ExchangeStatus.cpp).
int RunExchangeStatus(const Options& options);
// `--check`: the profile checked, and what a run would do, nothing dialled
// nor made (ExchangeCheck.cpp).
int CheckExchange(const Options& options);

}  // namespace xmodemq
