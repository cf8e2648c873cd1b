// Hundreds of transfers over a line with noise, lost bytes and corrupted
// frames, on the virtual clock, each from a fixed seed. Every success must
// leave a byte-identical file; every failure must be one of the known
// outcomes; a block on disk is never wrong; nothing hangs.
#include <random>

#include "ProtocolRig.h"

namespace xmodemquarvel::testing {
namespace {

struct HangDetected {};

// The outcomes other than success, and whether each leaves the line up.
bool KnownOutcome(ReturnValues result, const std::string& description, bool line_up) {
  if (result == rvCTS) return description == kLineCut && !line_up;
  if (result == rvRefuse) return description.rfind(kRefused, 0) == 0 && line_up;
  if (result != rvFalse) return false;
  if (description == kTenTimeOuts || description == kTenFailures) return !line_up;
  return (description == kUnexpected || description == kBadCount) && line_up;
}

struct SoakTally {
  int transfers = 0, successes = 0;
};

void SoakOne(std::uint32_t seed, SoakTally& tally) {
  std::mt19937 random(seed);
  auto uniform = [&](double high) {
    return std::uniform_real_distribution<double>(0.0, high)(random);
  };
  const double noise = uniform(0.5), drop = uniform(0.6), corrupt = uniform(0.8);
  ServerRig rig(ServerRig::Wiring::kDirect, {},
                {.seed = seed, .noise = noise, .drop = drop, .corrupt = corrupt});
  rig.port->Record(false);
  rig.module->Trace(false);

  // A watchdog on the line's own time: no transfer may run for hours.
  VirtualClock::TimePoint started{};
  rig.on_yield = [&] {
    if (rig.clock->Now() - started > std::chrono::hours(3)) throw HangDetected{};
  };

  const std::string content = Pattern(128 * (random() % 40) + random() % 128, seed);
  const std::string whole_blocks = content.substr(0, content.size() / 128 * 128);
  rig.server->PutFile("served", content);
  const std::string sent_path = rig.dir / "sent.bin";
  WriteFile(sent_path, content);
  const std::string received_path = rig.dir / "served.bin";
  // Sometimes part of the file is already here: the receive resumes.
  const std::size_t held =
      random() % 3 == 0 ? 128 * (random() % (whole_blocks.size() / 128 + 1)) : 0;
  if (held > 0) WriteFile(received_path, whole_blocks.substr(0, held));

  // Up to three attempts at each direction; each is one transfer.
  for (const bool sending : {true, false}) {
    for (int attempt = 0; attempt < 3; ++attempt) {
      started = rig.clock->Now();
      ReturnValues result = rvFalse;
      try {
        result = sending ? rig.module->SendFile("soak", "pw", sent_path, "0")
                         : rig.module->ReceiveFile("soak", "pw", received_path, "0");
      } catch (const HangDetected&) {
        ADD_FAILURE() << "seed " << seed << ": a transfer ran for hours";
        return;
      }
      ++tally.transfers;
      const std::string description = rig.module->ErrorDescription();
      // What the far end holds after a send, what is here after a receive.
      const std::string got =
          sending ? rig.server->File("sent").value_or("") : ReadFile(received_path);
      ASSERT_EQ(got.size() % 128, 0u) << "seed " << seed;
      ASSERT_EQ(got, whole_blocks.substr(0, got.size())) << "seed " << seed << ": a wrong block";
      if (result == rvTrue) {
        ++tally.successes;
        // A success keeps the time-out text of a retried last exchange.
        EXPECT_TRUE(description.empty() || description == kTimeOut)
            << "seed " << seed << ": " << description;
        EXPECT_EQ(got, whole_blocks) << "seed " << seed;
        break;
      }
      EXPECT_TRUE(KnownOutcome(result, description, rig.port->PortOpen()))
          << "seed " << seed << ": result " << result << ", " << description;
      rig.Reconnect();
    }
  }
}

TEST(Soak, FaultyLineNeverCorruptsAFileAndAlwaysEndsInAKnownOutcome) {
  SoakTally tally;
  for (std::uint32_t seed = 1; seed <= 300 && !HasFatalFailure(); ++seed) SoakOne(seed, tally);
  EXPECT_GE(tally.transfers, 500);
  // The faults must bite: some transfers fail, most succeed.
  EXPECT_GT(tally.successes, tally.transfers / 2);
  EXPECT_GT(tally.transfers, tally.successes);
  std::cout << tally.transfers << " transfers, " << tally.successes << " succeeded\n";
}

}  // namespace
}  // namespace xmodemquarvel::testing
