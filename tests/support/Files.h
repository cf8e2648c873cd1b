#pragma once

#include "sim/Pattern.h"
#include "sim/TempDir.h"
#include "sim/WholeFile.h"

namespace xmodemquarvel::testing {

using TempDir = sim::TempDir;

using sim::Pattern;
using sim::ReadFile;
using sim::WriteFile;

}  // namespace xmodemquarvel::testing
