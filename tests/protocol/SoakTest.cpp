// Ten thousand fault-injected transfers on the virtual clock (sim/FaultSoak.h).
// XMQ_SOAK_TRANSFERS lowers the count for slow builds.
#include <cstdlib>
#include <iostream>

#include <gtest/gtest.h>

#include "sim/FaultSoak.h"

namespace xmodemquarvel::sim {
namespace {

TEST(Soak, FaultyLineNeverTakesAWrongBlockTheChecksSeeNorEndsEarlyNorHangs) {
  const char* count = std::getenv("XMQ_SOAK_TRANSFERS");
  const SoakTally t = RunFaultSoak(count != nullptr ? std::atoi(count) : 10'000);
  t.Print(std::cout);
  EXPECT_EQ(std::make_tuple(t.corrupt_blocks[kSeen], t.short_completions, t.hangs, t.unknown),
            std::make_tuple(0, 0, 0, 0));
  // The faults bite, yet most files arrive whole; resumes happen both ways.
  EXPECT_GT(t.identical.Total(), t.transfers.Total() / 2);
  EXPECT_GT(t.transfers.Total() - t.completions.Total(), t.transfers.Total() / 10);
  EXPECT_GT(t.resumed.sends * t.resumed.receives, 0);
  for (int k = 0; k < kFaultKinds; ++k)
    EXPECT_GT(t.kinds[k].Total(), 0) << FaultName(static_cast<FaultKind>(k));
}

}  // namespace
}  // namespace xmodemquarvel::sim
