// soak_bench [transfers] [seed] [first file]
//
// Runs the fault soak of the test suite (100 000 transfers and seed 1 by
// default) and prints its tally. Exits 1 when a wrong block got past faults
// that the checks see, a transfer ended early (rvTrue short of its last
// blocks), a transfer hung, or an outcome was unknown.
#include <cstdlib>
#include <iostream>

#include "sim/FaultSoak.h"

int main(int argc, char** argv) {
  using namespace xmodemquarvel::sim;
  const int transfers = argc > 1 ? std::atoi(argv[1]) : 100'000;
  const auto seed = static_cast<std::uint32_t>(argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1);
  const auto first = static_cast<std::uint32_t>(argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 0);
  const SoakTally tally = RunFaultSoak(transfers, seed, first);
  tally.Print(std::cout);
  const bool clean = tally.corrupt_blocks[kSeen] == 0 && tally.short_completions == 0 &&
                     tally.hangs == 0 && tally.unknown == 0;
  return clean ? 0 : 1;
}
