#pragma once

#include "call/Session.h"
#include "commandline/Arguments.h"
#include "demo/Demo.h"

namespace xmodemq {

// Each subcommand; the result is the process's exit status.
// A transfer's host is the real line and clock unless a test gives its own.
int RunSend(const Options& options, SessionHost host = {});
int RunReceive(const Options& options, SessionHost host = {});
int RunPack(const Options& options);
int RunUnpack(const Options& options);
int RunSimulate(const Options& options);
int RunJournal(const Options& options);
// `xmodemq submit FILE... --profile P [--again] [--json]` (SubmitCommand.cpp).
int RunSubmit(const Options& options);
// `xmodemq fetch-returns DIR --profile P [--json]` (FetchReturnsCommand.cpp).
int RunFetchReturns(const Options& options);

}  // namespace xmodemq
