// line_seeds DIR: what the simulated modem and server answer in real
// exchanges, recorded as scripts (sim/LineScript.h) in DIR/<call>/seed<n>.
#include "LineFuzz.h"
#include "sim/SimulatedModem.h"
#include "sim/SimulatedServer.h"

using namespace xmodemquarvel;

int main(int argc, char** argv) {
  using fuzz::Call;
  struct Seed {
    Call call;
    std::uint8_t options;
    sim::ModemScript modem;
    sim::ServerScript server;
  };
  const Seed seeds[] = {
      {Call::kConnect, 0, {}, {}},
      {Call::kConnect, 7, {.dial_answers = {{"BUSY"}, {"CONNECT 9600"}}}, {}},
      {Call::kSend, 3, {}, {}},
      {Call::kSend, 11, {}, {.resume_sends = true}},
      {Call::kReceive, 3, {}, {}},
      {Call::kReceive, 5, {}, {}},
      {Call::kReceive, 0, {}, {.status = 6}},
  };
  for (int n = 0; const Seed& s : seeds) {
    fuzz::World w;
    sim::LineRecorder r(*w.port);
    w.port->AttachPeer(&r);
    std::unique_ptr<sim::LinePeer> far;
    if (s.call == Call::kConnect) {
      far = std::make_unique<sim::SimulatedModem>(r, s.modem);
      r.Attach(*far);
    } else {
      auto server = std::make_unique<sim::SimulatedServer>(r, s.server);
      // A send finds one block of the file there already.
      server->PutFile("line", fuzz::Content(s.call == Call::kSend ? 1 : 3, 0));
      r.Attach(*server);
      w.port->PortOpen(true);
      server->Start();
      far = std::move(server);
    }
    fuzz::Run(s.call, s.options, w);
    const char* folder[] = {"connect", "send", "receive"};
    const auto dir = std::filesystem::path(argc > 1 ? argv[1] : ".") / folder[int(s.call)];
    std::filesystem::create_directories(dir);
    std::ofstream(dir / ("seed" + std::to_string(n++)), std::ios::binary)
        << static_cast<char>(s.options) << r.Script();
    w.module.reset();  // while the far end that the clock may still play is there
  }
}
