#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "sim/SimulatedServer.h"

namespace xmodemquarvel::sim {

// What a soak puts on the line: each fault of the simulated server, and its
// refusal of a request.
enum class FaultKind {
  kNoise,
  kDrop,
  kDropInFrames,
  kCorrupt,
  kCorruptFrame,
  kRepeatFrame,
  kReportOffset,
  kEotForResponse,
  kEotForReport,
  kSilence,
  kLineLoss,
  kRefusal,
};
inline constexpr int kFaultKinds = 12;
const char* FaultName(FaultKind kind);

// Whether a transfer's faults all left frames that the checksum and the frame
// checks tell apart from a good frame or a repetition (kSeen), or the server
// sent one of the frames that FaultEvents counts (kBlind).
enum Visibility { kSeen = 0, kBlind = 1 };

// What a soak counted.
struct SoakTally {
  struct Count {
    int sends = 0;
    int receives = 0;
    int Total() const { return sends + receives; }
  };

  std::uint32_t seed = 0;
  int cases = 0;  // files, each taken through up to four attempts
  Count transfers;
  // By result and description.
  std::map<std::string, Count> outcomes;
  Count completions;  // rvTrue
  Count identical;    // completions whose file is byte-identical
  // Transfers that started from blocks already held: a receive after a local
  // partial file, a send at the position the server answered.
  Count resumed;
  // Transfers by the visibility of their faults, and wrong blocks accepted.
  std::array<int, 2> exposed{};
  std::array<long long, 2> corrupt_blocks{};
  FaultEvents blind_frames;             // over all transfers
  std::vector<std::uint32_t> suspects;  // the first files with a wrong block the checks see
  // Completions (rvTrue) whose file holds only the first blocks of the
  // source: a transfer that ended early, whatever the faults.
  int short_completions = 0;
  std::vector<std::uint32_t> short_files;  // the first of them
  int hangs = 0;    // transfers that overran their time-outs on the virtual clock
  int unknown = 0;  // outcomes none of the known ones
  std::array<Count, kFaultKinds> kinds{};  // transfers with each kind in their mix
  // Process CPU time (the in-process simulated server included), virtual time.
  double cpu_seconds = 0;
  double max_cpu_seconds = 0;
  std::chrono::duration<double> virtual_time{};
  std::chrono::duration<double> longest{};
  double wall_seconds = 0;

  void Print(std::ostream& out) const;
};

// Runs at least `transfers` sends and receives of files of 0 to 40 blocks on
// the virtual clock, against a simulated server whose fault mix is drawn for
// each file from `seed`. A failed transfer is retried after a reconnection, up
// to four attempts a file: a receive resumes from its partial file, a send at
// the position the server answers. After every transfer the file at the
// receiving end is compared with the source block by block. A watchdog on
// virtual time stops a transfer that outlasts the time-outs of its exchanges.
// Files are numbered from `first_file`; each draws from (`seed`, its number)
// alone, so that one file can be run again. Works in a temporary directory of
// its own.
SoakTally RunFaultSoak(int transfers, std::uint32_t seed = 1, std::uint32_t first_file = 0);

}  // namespace xmodemquarvel::sim
