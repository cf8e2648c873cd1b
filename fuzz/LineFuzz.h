#pragma once
// Arbitrary bytes from the line, played to a component on the virtual clock
// (input: one byte of options, then a script of sim/LineScript.h). Aborts when
// a call outlasts its time-outs; returns something other than a ReturnValues
// code (for Connect, one it never returns); changes a file it sends; or leaves
// a received file that is not the blocks held before (cut to the position the
// server answered, never beyond them) followed by whole blocks that came from
// the line in order, each in a frame with the right number and checksum.
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "protocol/Frame.h"
#include "sim/LineScript.h"
#include "support/SimulatedWorld.h"

namespace xmodemquarvel::fuzz {
using namespace std::chrono_literals;
enum class Call { kConnect, kSend, kReceive };

// A component on a simulated port, with its file in a folder of its own
// (under TMPDIR, which fuzz/run.sh points into its own folder).
struct World : testing::SimulatedLine {
  World() {
    // Ten minutes without a byte either way, or ten minutes a piece in all, is
    // a wait that outlasted its time-out.
    on_yield = [this] {
      const auto now = clock->Now();
      if (far && (now - far->LastActivity() > 10min ||
                  now.time_since_epoch() > (far->Pieces() + 5) * 10min))
        std::fprintf(stderr, "hang: no return within the time-outs\n"), std::abort();
    };
    // The watchdog runs on every pass; an hour between passes lets virtual time jump.
    module = std::make_unique<ModuleXmodem>(Options(std::chrono::hours(1)));
    module->Trace(true);
    module->BlocReceived = [this](int32_t&) { ++blocks; };
    module->TransferAccepted = [this](char, std::int64_t position) { accepted = position; };
  }
  // The component, which owns the port, may be gone already (see FuzzLine).
  ~World() {
    if (module) port->AttachPeer(nullptr);
  }
  std::string File() const { return dir / "line.dat"; }
  std::unique_ptr<ModuleXmodem> module;
  sim::ScriptedPeer* far = nullptr;
  int blocks = 0;
  std::int64_t accepted = -1;  // the position of an accepted transfer
};

inline std::string Content(int blocks, int extra) {
  return sim::Pattern(static_cast<std::size_t>(blocks * 128 + extra));
}

// Runs `call` with the options `o`: attempts, prefix and initialisation string
// of Connect, blocks of the file sent, blocks already held of the file received.
inline ReturnValues Run(Call call, std::uint8_t o, World& w) {
  if (call == Call::kConnect)
    return w.module->Connect(1 + (o & 1), o & 2 ? "0" : "", o & 4 ? "ATE0" : "");
  if (!w.port->PortOpen()) w.port->PortOpen(true);
  w.port->InputLen(1);
  if (call == Call::kSend) {
    testing::WriteFile(w.File(), Content(o % 8, o & 8 ? 100 : 0));
    return w.module->SendFile("u", "p", w.File(), "0");
  }
  if (o & 4) testing::WriteFile(w.File(), Content(o % 4, 0));
  return w.module->ReceiveFile("u", "p", w.File(), "0");
}

inline int FuzzLine(Call call, const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  World w;
  sim::ScriptedPeer far(*w.port, {data + 1, size - 1});
  w.port->AttachPeer(w.far = &far);
  // The component goes while the far end is still there: its destructor holds
  // the port closed on the virtual clock, which still plays the far end's
  // pending events.
  struct Parting {
    World& w;
    ~Parting() {
      w.module.reset();
      w.far = nullptr;
    }
  } parting{w};
  far.Start();
  const ReturnValues result = Run(call, data[0], w);
  if (result < rvFalse || result > rvRefuse) std::abort();
  if (call == Call::kConnect && (result == rvTimer || result == rvRefuse)) std::abort();
  // A file sent is left as it was.
  if (call == Call::kSend &&
      testing::ReadFile(w.File()) != Content(data[0] % 8, data[0] & 8 ? 100 : 0))
    std::abort();
  if (call != Call::kReceive) return 0;
  const std::string got = testing::ReadFile(w.File());
  std::string held = data[0] & 4 ? Content(data[0] % 4, 0) : "";
  if (w.accepted > static_cast<std::int64_t>(held.size() / 128)) std::abort();
  if (w.accepted >= 0) held.resize(128u * static_cast<std::size_t>(w.accepted));
  if (got.size() != held.size() + 128u * w.blocks || got.compare(0, held.size(), held) != 0)
    std::abort();
  std::size_t from = 0;
  for (int k = 0; k < w.blocks; ++k) {
    const std::string frame =
        protocol::BuildFrame(static_cast<std::uint8_t>(k + 1),
                             std::string_view(got).substr(held.size() + 128u * k, 128));
    if ((from = far.Played().find(frame, from)) == std::string::npos) std::abort();
    from += frame.size();
  }
  return 0;
}

}  // namespace xmodemquarvel::fuzz
