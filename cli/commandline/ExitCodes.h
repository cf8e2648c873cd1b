#pragma once

#include "xmodemquarvel/Enums.h"

namespace xmodemq {

// What the command returns to its caller. A transfer returns its ReturnValues
// code (rvFalse as 1, since 0 means success to a shell); a usage error is 2,
// a failed pack or unpack 1.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
// Try later: the journal's database cannot be reached (nothing was dialled),
// or went away during the call (the outcomes wait on this machine until a
// later run writes them).
inline constexpr int kExitLater = 75;
// Broken off by a signal: kSignalExitBase + its number (system/StopSignals.h).

inline int ExitCodeFor(xmodemquarvel::ReturnValues result) {
  switch (result) {
    case xmodemquarvel::rvTrue:
      return kExitOk;
    case xmodemquarvel::rvFalse:
      return kExitFailure;
    default:
      return static_cast<int>(result);
  }
}

}  // namespace xmodemq
