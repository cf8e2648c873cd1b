#include <cstdio>

#include "Commands.h"
#include "ExitCodes.h"

namespace xmodemq {

int RunDemo(const Options&) {
  std::fprintf(stderr, "xmodemq: demo n'est pas encore disponible\n");
  return kExitFailure;
}

}  // namespace xmodemq
