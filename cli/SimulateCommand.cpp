#include <cstdio>

#include "Commands.h"
#include "ExitCodes.h"

namespace xmodemq {

int RunSimulate(const Options&) {
  std::fprintf(stderr, "xmodemq: simulate n'est pas encore disponible\n");
  return kExitFailure;
}

}  // namespace xmodemq
