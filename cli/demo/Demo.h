#pragma once

#include "commandline/Arguments.h"

namespace xmodemq {

// `xmodemq demo`: a whole session on the simulator, told step by step; the
// result is the process's exit status.
int RunDemo(const Options& options);

}  // namespace xmodemq
