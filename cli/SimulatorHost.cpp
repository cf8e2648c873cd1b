#include "SimulatorHost.h"

#include <stdexcept>

#include "SimulatedServerSetup.h"

namespace xmodemq {
namespace sim = xmodemquarvel::sim;

namespace {

sim::ModemScript ModemScriptFor(const SimulatorOptions& options) {
  sim::ModemScript script;
  script.echo = options.echo;
  if (!options.dial_answers.empty()) script.dial_answers = options.dial_answers;
  return script;
}

}  // namespace

// Between the pseudo-terminal and the modem: paces what the client writes,
// and tells the log when the client opens and closes the device.
class SimulatorHost::PortWatch final : public sim::LinePeer {
 public:
  PortWatch(SimulatorHost& host, sim::LinePeer& modem) : host_(host), modem_(modem) {}
  void OnHostBytes(std::string_view bytes) override { host_.paced_.FromHost(bytes, modem_); }
  void OnDtr(bool on) override { modem_.OnDtr(on); }
  void OnPortOpen(bool open) override {
    host_.Log(open ? "client : port ouvert" : "client : port fermé");
    modem_.OnPortOpen(open);
  }
  void OnCarrier(bool up) override { modem_.OnCarrier(up); }

 private:
  SimulatorHost& host_;
  sim::LinePeer& modem_;
};

SimulatorHost::SimulatorHost(const SimulatorOptions& options)
    : paced_(pty_, [this] { Cut(); }), modem_(paced_, ModemScriptFor(options)) {
  paced_.PaceAt(options.baud);
  server_ = std::make_unique<ServerSetup>(paced_, options);
  modem_.AttachServer(&server_->Peer());
  watch_ = std::make_unique<PortWatch>(*this, modem_);
  pty_.AttachPeer(watch_.get());
  link_ = std::make_unique<PtyLink>(options.link, pty_.SlavePath());
  pty_.on_new_slave = [this](const std::string& path) {
    link_->PointAt(path);
    Log("ligne coupée ; nouveau périphérique " + path);
  };
  if (options.cut_after_frames) paced_.ArmCut(*options.cut_after_frames);
}

SimulatorHost::~SimulatorHost() {
  pty_.AttachPeer(nullptr);
  pty_.on_new_slave = nullptr;
}

void SimulatorHost::Log(const std::string& text) {
  if (log) log(text);
}

void SimulatorHost::Cut() {
  // Not from inside the server's own call: the cut runs on the next pass of
  // the loop. Dropping CTS and CD together is what closes the pseudo-terminal.
  pty_.After(xmodemquarvel::Clock::Duration::zero(), [this] {
    Log("coupure de la ligne");
    modem_.HoldCts(false);
    modem_.HangUp();
  });
}

void SimulatorHost::Run() {
  xmodemquarvel::MonotonicClock clock;
  while (!stop_.load()) {
    pty_.Run(clock.Now() + std::chrono::milliseconds(200));
    for (const std::string& event : server_->NewEvents()) Log(event);
  }
}

void SimulatorHost::Stop() {
  stop_.store(true);
  pty_.Stop();
}

}  // namespace xmodemq
