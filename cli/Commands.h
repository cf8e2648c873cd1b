#pragma once

#include "Arguments.h"

namespace xmodemq {

// Each subcommand; the result is the process's exit status.
int RunSend(const Options& options);
int RunReceive(const Options& options);
int RunPack(const Options& options);
int RunUnpack(const Options& options);
int RunSimulate(const Options& options);
int RunDemo(const Options& options);

}  // namespace xmodemq
