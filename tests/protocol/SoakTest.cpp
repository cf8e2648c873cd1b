// Hundreds of transfers over a line with noise, lost bytes and corrupted
// frames, on the virtual clock, each from a fixed seed. Every success must
// leave a byte-identical file; every failure must be one of the known
// outcomes; a block on disk is never wrong; nothing hangs.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "ProtocolRig.h"

namespace xmodemquarvel::testing {
namespace {

using Wiring = ServerRig::Wiring;

struct HangDetected {};

bool StartsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

// The outcomes other than success, and whether each leaves the line up.
bool KnownOutcome(ReturnValues result, const std::string& description, bool line_up) {
  static const std::set<std::string> kDropped = {
      "Pas de réponse dans le délai imparti\r\n10 tentatives infructueuses",
      "\r\n10 tentatives infructueuses"};
  static const std::set<std::string> kUp = {"Réponse inattendue du distant",
                                            "Nombre de blocs recus <> nombre de blocs transmis"};
  if (result == rvCTS) return description == "La ligne est coupée" && !line_up;
  if (result == rvRefuse) return StartsWith(description, "Transfert refusé, status ") && line_up;
  if (result != rvFalse) return false;
  if (kDropped.count(description) != 0) return !line_up;
  return kUp.count(description) != 0 && line_up;
}

struct SoakTally {
  int transfers = 0;
  int successes = 0;
  std::map<std::string, int> failures;
};

void SoakOne(std::uint32_t seed, SoakTally& tally) {
  std::mt19937 random(seed);
  auto uniform = [&](double high) {
    return std::uniform_real_distribution<double>(0.0, high)(random);
  };
  sim::ServerFaults faults;
  faults.seed = seed;
  faults.noise = uniform(0.5);
  faults.drop = uniform(0.6);
  faults.corrupt = uniform(0.8);
  ServerRig rig(Wiring::kDirect, {}, faults);
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
      if (sending) {
        const auto stored = rig.server->File("sent").value_or("");
        ASSERT_EQ(stored, whole_blocks.substr(0, stored.size()))
            << "seed " << seed << ": the server holds a wrong block";
      } else {
        const std::string local = ReadFile(received_path);
        ASSERT_EQ(local.size() % 128, 0u) << "seed " << seed;
        ASSERT_EQ(local, whole_blocks.substr(0, local.size()))
            << "seed " << seed << ": a wrong block reached the disk";
      }
      if (result == rvTrue) {
        ++tally.successes;
        // A success keeps the time-out text of a retried last exchange.
        EXPECT_TRUE(description.empty() || description == "Pas de réponse dans le délai imparti")
            << "seed " << seed << ": " << description;
        if (sending) {
          EXPECT_EQ(rig.server->File("sent"), whole_blocks) << "seed " << seed;
        } else {
          EXPECT_EQ(ReadFile(received_path), whole_blocks) << "seed " << seed;
        }
        break;
      }
      ++tally.failures[description];
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
  std::string summary;
  for (const auto& [description, count] : tally.failures)
    summary += "  " + std::to_string(count) + " x " + description + "\n";
  std::cout << tally.transfers << " transfers, " << tally.successes << " succeeded\n" << summary;
}

}  // namespace
}  // namespace xmodemquarvel::testing
