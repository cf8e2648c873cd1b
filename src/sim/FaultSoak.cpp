#include "sim/FaultSoak.h"

#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <filesystem>
#include <iomanip>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "sim/Pattern.h"
#include "sim/SimulatedSerialPort.h"
#include "sim/SimulatedServer.h"
#include "sim/TempDir.h"
#include "sim/WholeFile.h"
#include "xmodemquarvel/ModuleXmodem.h"

namespace xmodemquarvel::sim {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kBlock = 128;
constexpr int kMaxBlocks = 40;
constexpr int kAttemptsPerFile = 4;
// The longest a transfer may take: every exchange of its opening, its blocks
// and its closing, each up to ten attempts of ten seconds, and the hang-up.
constexpr int kExchangesBesideBlocks = 12;
constexpr auto kLongestExchange = 100s;
constexpr auto kHangUp = 10s;

const std::string kTimeOut = "Pas de réponse dans le délai imparti";
const std::string kTenFailures = "\r\n10 tentatives infructueuses";

// Thrown from the host's yield when a transfer overruns: ends it at once.
struct Overrun {};

double ProcessCpuSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double WallSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Blocks of `got` that are not the source's block at their place; a final
// fragment counts as one.
long long WrongBlocks(std::string_view got, std::string_view source) {
  long long wrong = got.size() % kBlock != 0 ? 1 : 0;
  for (std::size_t at = 0; at + kBlock <= got.size(); at += kBlock)
    if (at + kBlock > source.size() || got.substr(at, kBlock) != source.substr(at, kBlock)) ++wrong;
  return wrong;
}

const char* ResultName(ReturnValues result) {
  switch (result) {
    case rvFalse:
      return "rvFalse";
    case rvTrue:
      return "rvTrue";
    case rvTimer:
      return "rvTimer";
    case rvCTS:
      return "rvCTS";
    case rvRefuse:
      return "rvRefuse";
  }
  return "(not a result)";
}

// The outcomes a transfer may end in, and whether each leaves the line up.
bool KnownOutcome(ReturnValues result, const std::string& description, bool line_up) {
  switch (result) {
    case rvTrue:
      // A success keeps the time-out text of a retried last exchange.
      return line_up && (description.empty() || description == kTimeOut);
    case rvCTS:
      return !line_up && description == "La ligne est coupée";
    case rvRefuse:
      return line_up && description.rfind("Transfert refusé, status ", 0) == 0;
    case rvFalse:
      if (description == kTimeOut + kTenFailures || description == kTenFailures) return !line_up;
      return line_up && (description == "Réponse inattendue du distant" ||
                         description == "Nombre de blocs recus <> nombre de blocs transmis");
    default:
      return false;
  }
}

std::string Shown(std::string text) {
  for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;) text.replace(at, 2, " / ");
  return text;
}

// A fault mix and the kinds it holds.
struct Mix {
  ServerFaults faults;
  std::optional<std::uint8_t> refusal;
  std::array<bool, kFaultKinds> on{};
};

class MixDraw {
 public:
  explicit MixDraw(std::mt19937& random) : random_(random) {}

  Mix operator()(bool sending, int blocks) {
    Mix m;
    m.faults.seed = random_();
    const auto set = [&](FaultKind kind) { m.on[static_cast<int>(kind)] = true; };
    if (Chance(0.5)) {
      m.faults.noise = Uniform(0.02, 0.5);
      set(FaultKind::kNoise);
    }
    if (Chance(0.5)) {
      m.faults.drop = Uniform(0.02, 0.4);
      set(FaultKind::kDrop);
    }
    if (Chance(0.5)) {
      m.faults.corrupt = Uniform(0.02, 0.6);
      set(FaultKind::kCorrupt);
    }
    if (Chance(0.1)) {
      m.faults.drop_in_frames = true;
      if (m.faults.drop == 0.0) m.faults.drop = Uniform(0.02, 0.4);
      set(FaultKind::kDrop);
      set(FaultKind::kDropInFrames);
    }
    if (blocks > 0 && Chance(0.2)) {
      m.faults.line_loss_after_frames = 1 + Below(blocks);
      set(FaultKind::kLineLoss);
    }
    if (!sending && blocks > 0 && Chance(0.1)) {
      m.faults.corrupt_frame = 1 + Below(blocks);
      set(FaultKind::kCorruptFrame);
    }
    if (!sending && blocks > 0 && Chance(0.1)) {
      m.faults.repeat_frame = 1 + Below(blocks);
      set(FaultKind::kRepeatFrame);
    }
    if (sending && Chance(0.08)) {
      m.faults.report_offset = Chance(0.5) ? 1 + Below(3) : -1 - Below(3);
      set(FaultKind::kReportOffset);
    }
    if (sending && Chance(0.06)) {
      m.faults.eot_for_report = true;
      set(FaultKind::kEotForReport);
    }
    if (Chance(0.06)) {
      m.faults.eot_for_response = true;
      set(FaultKind::kEotForResponse);
    }
    if (Chance(0.08)) {
      m.faults.silent_after_messages = Below(2 * blocks + 12);
      set(FaultKind::kSilence);
    }
    if (Chance(0.03)) {
      m.refusal = static_cast<std::uint8_t>(1 + Below(8));
      set(FaultKind::kRefusal);
    }
    return m;
  }

  // What stays of a mix for the next attempt: the line's random faults and its
  // losses; the one-time faults are spent.
  Mix Retry(const Mix& first) {
    Mix m;
    m.faults.seed = random_();
    for (const FaultKind kind : {FaultKind::kNoise, FaultKind::kDrop, FaultKind::kCorrupt,
                                 FaultKind::kDropInFrames, FaultKind::kLineLoss})
      m.on[static_cast<int>(kind)] = first.on[static_cast<int>(kind)];
    m.faults.noise = first.faults.noise;
    m.faults.drop = first.faults.drop;
    m.faults.corrupt = first.faults.corrupt;
    m.faults.drop_in_frames = first.faults.drop_in_frames;
    m.faults.line_loss_after_frames = first.faults.line_loss_after_frames;
    return m;
  }

  bool Chance(double p) { return std::uniform_real_distribution<double>(0.0, 1.0)(random_) < p; }
  double Uniform(double low, double high) {
    return std::uniform_real_distribution<double>(low, high)(random_);
  }
  int Below(int n) { return static_cast<int>(random_() % static_cast<std::uint32_t>(n)); }

 private:
  std::mt19937& random_;
};

// A component wired straight to the simulated server, as after a connection,
// on a virtual clock of its own.
struct World {
  World() {
    auto owned = std::make_unique<SimulatedSerialPort>(clock);
    port = owned.get();
    port->Record(false);
    server = std::make_unique<SimulatedServer>(*port);
    port->AttachPeer(server.get());
    HostOptions options;
    options.clock = clock;
    options.port = std::move(owned);
    options.yield = [this] {
      if (clock->Now() > deadline) throw Overrun{};
    };
    module = std::make_unique<ModuleXmodem>(std::move(options));
  }

  // Opens the port as Connect would and lets the server invite; closes it
  // first when a failure left it open.
  void Reconnect() {
    if (port->PortOpen()) port->PortOpen(false);
    port->PortOpen(true);
    port->InputLen(1);
    server->Start();
  }

  std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>();
  SimulatedSerialPort* port = nullptr;
  std::unique_ptr<SimulatedServer> server;
  std::unique_ptr<ModuleXmodem> module;
  Clock::TimePoint deadline = Clock::TimePoint::max();
};

class Soak {
 public:
  Soak(int transfers, std::uint32_t seed, std::uint32_t first_file)
      : target_(transfers), seed_(seed), file_(first_file), draw_(random_) {
    tally_.seed = seed;
  }

  SoakTally Run() {
    const double wall = WallSeconds();
    for (; tally_.transfers.Total() < target_; ++file_) {
      // Each file draws from a generator of its own, so that one file can be
      // run again alone.
      std::seed_seq seeds{seed_, file_};
      random_.seed(seeds);
      RunFile();
    }
    tally_.wall_seconds = WallSeconds() - wall;
    return tally_;
  }

 private:
  // One file through up to four attempts, on a world of its own.
  void RunFile() {
    ++tally_.cases;
    const bool sending = draw_.Chance(0.5);
    const int blocks = draw_.Below(kMaxBlocks + 1);
    const std::string content = Pattern(
        blocks * kBlock + (sending && draw_.Chance(0.5) ? 1 + draw_.Below(127) : 0), random_());
    const std::string whole = content.substr(0, blocks * kBlock);
    const auto prefix = [&] { return whole.substr(0, draw_.Below(blocks + 1) * kBlock); };

    World w;
    const std::string local = dir_ / "soak.dat";
    std::filesystem::remove(local);
    if (sending) {
      WriteFile(local, content);
      w.server->Script().resume_sends = draw_.Chance(2.0 / 3);
      if (w.server->Script().resume_sends && draw_.Chance(1.0 / 3))
        w.server->PutFile("soak", prefix());
    } else {
      w.server->PutFile("soak", whole);
      if (draw_.Chance(1.0 / 3)) WriteFile(local, prefix());
    }
    const auto at_receiver = [&] {
      return sending ? w.server->File("soak").value_or("") : ReadFile(local);
    };

    Mix mix = draw_(sending, blocks);
    for (int attempt = 0; attempt < kAttemptsPerFile; ++attempt) {
      if (attempt > 0) mix = draw_.Retry(mix);
      w.server->Faults() = mix.faults;
      w.server->Reseed(mix.faults.seed);
      w.server->Script().status = mix.refusal;
      w.Reconnect();
      Add(tally_.transfers, sending);
      for (int k = 0; k < kFaultKinds; ++k)
        if (mix.on[k]) Add(tally_.kinds[k], sending);
      const bool resumed = sending ? w.server->Script().resume_sends && w.server->Held("soak") > 0
                                   : !at_receiver().empty();
      if (resumed) Add(tally_.resumed, sending);

      const auto started = w.clock->Now();
      w.deadline = started + (blocks + kExchangesBesideBlocks) * kLongestExchange + kHangUp;
      const FaultEvents before = w.server->Events();
      const double cpu = ProcessCpuSeconds();
      ReturnValues result = rvFalse;
      bool overran = false;
      try {
        result = sending ? w.module->SendFile("soak", "pw", local, "0")
                         : w.module->ReceiveFile("soak", "pw", local, "0");
      } catch (const Overrun&) {
        overran = true;
      }
      const double spent = ProcessCpuSeconds() - cpu;
      tally_.cpu_seconds += spent;
      tally_.max_cpu_seconds = std::max(tally_.max_cpu_seconds, spent);
      const std::chrono::duration<double> took = w.clock->Now() - started;
      tally_.virtual_time += took;
      tally_.longest = std::max(tally_.longest, took);
      const FaultEvents& after = w.server->Events();
      const long long blind[] = {after.frames_short - before.frames_short,
                                 after.frames_still_summing - before.frames_still_summing,
                                 after.frames_renumbered_back - before.frames_renumbered_back};
      tally_.blind_frames.frames_short += blind[0];
      tally_.blind_frames.frames_still_summing += blind[1];
      tally_.blind_frames.frames_renumbered_back += blind[2];
      const Visibility visibility = blind[0] + blind[1] + blind[2] > 0 ? kBlind : kSeen;
      ++tally_.exposed[visibility];
      if (overran) {
        ++tally_.hangs;
        Add(tally_.outcomes["(overran its time-outs)"], sending);
        return;
      }

      const std::string description = w.module->ErrorDescription();
      std::string key = ResultName(result);
      if (!description.empty()) key += "  " + Shown(description);
      Add(tally_.outcomes[key], sending);
      if (!KnownOutcome(result, description, w.port->PortOpen())) ++tally_.unknown;

      const std::string got = at_receiver();
      if (const long long wrong = WrongBlocks(got, whole); wrong > 0) {
        // A file with a wrong block is not taken further.
        tally_.corrupt_blocks[visibility] += wrong;
        if (visibility == kSeen) Suspect();
        return;
      }
      if (result == rvTrue) {
        Add(tally_.completions, sending);
        // With no wrong block, a file that differs is short.
        if (got == whole) {
          Add(tally_.identical, sending);
        } else {
          ++tally_.short_completions;
          if (tally_.short_files.size() < 20) tally_.short_files.push_back(file_);
        }
        return;
      }
      if (result == rvRefuse) return;
    }
  }

  static void Add(SoakTally::Count& count, bool sending) {
    ++(sending ? count.sends : count.receives);
  }

  void Suspect() {
    if (tally_.suspects.size() < 20) tally_.suspects.push_back(file_);
  }

  int target_;
  std::uint32_t seed_;
  std::uint32_t file_;
  std::mt19937 random_;
  MixDraw draw_;
  TempDir dir_;
  SoakTally tally_;
};

// Pads UTF-8 text to `width` characters.
std::string Padded(std::string text, std::size_t width) {
  std::size_t characters = 0;
  for (const char c : text)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++characters;
  if (characters < width) text.append(width - characters, ' ');
  return text;
}

}  // namespace

const char* FaultName(FaultKind kind) {
  static constexpr const char* kNames[kFaultKinds] = {"noise",
                                                      "drop",
                                                      "drop_in_frames",
                                                      "corrupt",
                                                      "corrupt_frame",
                                                      "repeat_frame",
                                                      "report_offset",
                                                      "eot_for_response",
                                                      "eot_for_report",
                                                      "silent_after_messages",
                                                      "line_loss_after_frames",
                                                      "refusal (status)"};
  return kNames[static_cast<int>(kind)];
}

SoakTally RunFaultSoak(int transfers, std::uint32_t seed, std::uint32_t first_file) {
  return Soak(transfers, seed, first_file).Run();
}

void SoakTally::Print(std::ostream& out) const {
  const auto row = [&](const std::string& label, const Count& c) {
    out << "  " << Padded(label, 78) << std::setw(7) << c.sends << std::setw(9) << c.receives
        << '\n';
  };
  out << "Fault soak, seed " << seed << ": " << transfers.Total() << " transfers of " << cases
      << " files\n";
  out << "  " << Padded("transfers by outcome", 78) << "  sends receives\n";
  for (const auto& [outcome, count] : outcomes) row(outcome, count);
  row("all transfers", transfers);
  row("completions (rvTrue)", completions);
  row("byte-identical completions", identical);
  row("resumed (from a partial file / at the server's position)", resumed);
  for (int k = 0; k < kFaultKinds; ++k)
    row(std::string("with fault ") + FaultName(static_cast<FaultKind>(k)), kinds[k]);
  out << "  accepted corrupt blocks: " << corrupt_blocks[kSeen] << " in " << exposed[kSeen]
      << " transfers whose spoiled frames the checksum and frame checks see\n";
  out << "  accepted corrupt blocks: " << corrupt_blocks[kBlind] << " in " << exposed[kBlind]
      << " transfers with frames the checks can miss\n";
  out << "    (frames that lost a byte " << blind_frames.frames_short
      << ", changed yet summing right " << blind_frames.frames_still_summing
      << ", renumbered as the frame before " << blind_frames.frames_renumbered_back << ")\n";
  if (!suspects.empty()) {
    out << "  files where a wrong block got past the checks (soak_bench 1 " << seed << " FILE):";
    for (const std::uint32_t file : suspects) out << ' ' << file;
    out << '\n';
  }
  out << "  short completions (rvTrue short of the last blocks): " << short_completions;
  if (!short_files.empty()) {
    out << ", files (soak_bench 1 " << seed << " FILE):";
    for (const std::uint32_t file : short_files) out << ' ' << file;
  }
  out << '\n';
  out << "  hangs: " << hangs << ", unknown outcomes: " << unknown << '\n';
  const int n = std::max(transfers.Total(), 1);
  out << std::fixed << std::setprecision(1) << "  CPU time a transfer: " << cpu_seconds / n * 1e6
      << " us on average, " << max_cpu_seconds * 1e6 << " us at most (process, server included)\n";
  out << "  virtual time: " << virtual_time.count() / 3600 << " h in all, " << longest.count()
      << " s the longest transfer; real time: " << wall_seconds << " s\n";
}

}  // namespace xmodemquarvel::sim
