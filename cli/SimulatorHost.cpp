#include "SimulatorHost.h"

#include <stdexcept>

#include "SimulatedServerSetup.h"
#include "sim/PtyLine.h"
#include "sim/Rfc2217Line.h"

namespace xmodemq {
namespace sim = xmodemquarvel::sim;

namespace {

sim::ModemScript ModemScriptFor(const SimulatorOptions& options) {
  sim::ModemScript script;
  script.echo = options.echo;
  if (!options.dial_answers.empty()) script.dial_answers = options.dial_answers;
  return script;
}

// HOST:PORT, the host possibly an IPv6 address in brackets.
std::pair<std::string, std::string> SplitListen(const std::string& text) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size())
    throw std::invalid_argument("--listen attend HÔTE:PORT, par exemple 127.0.0.1:2217");
  std::string host = text.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  return {host, text.substr(colon + 1)};
}

std::unique_ptr<sim::ServedLine> MakeLine(const SimulatorOptions& options) {
  if (!options.listen) return std::make_unique<sim::PtyLine>();
  const auto [host, port] = SplitListen(*options.listen);
  return std::make_unique<sim::Rfc2217Line>(host, port);
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
    : listen_host_(options.listen ? SplitListen(*options.listen).first : ""),
      line_(MakeLine(options)),
      paced_(*line_, [this] { Cut(); }),
      modem_(paced_, ModemScriptFor(options)) {
  paced_.PaceAt(options.baud);
  server_ = std::make_unique<ServerSetup>(paced_, options);
  modem_.AttachServer(&server_->Peer());
  watch_ = std::make_unique<PortWatch>(*this, modem_);
  line_->AttachPeer(watch_.get());
  if (auto* remote = dynamic_cast<sim::Rfc2217Line*>(line_.get())) {
    remote->log = [this](const std::string& text) { Log(text); };
  } else {
    auto& pty = static_cast<sim::PtyLine&>(*line_);
    link_ = std::make_unique<PtyLink>(options.link, pty.SlavePath());
    pty.on_new_slave = [this](const std::string& path) {
      link_->PointAt(path);
      Log("ligne coupée ; nouveau périphérique " + path);
    };
  }
  if (options.cut_after_frames) paced_.ArmCut(*options.cut_after_frames);
}

SimulatorHost::~SimulatorHost() {
  line_->AttachPeer(nullptr);
  if (auto* pty = dynamic_cast<sim::PtyLine*>(line_.get())) pty->on_new_slave = nullptr;
  if (auto* remote = dynamic_cast<sim::Rfc2217Line*>(line_.get())) remote->log = nullptr;
}

std::string SimulatorHost::Where() const {
  if (link_) return link_->Path();
  const auto& remote = static_cast<const sim::Rfc2217Line&>(*line_);
  const bool v6 = listen_host_.find(':') != std::string::npos;
  return "rfc2217://" + (v6 ? "[" + listen_host_ + "]" : listen_host_) + ":" +
         std::to_string(remote.Port());
}

std::string SimulatorHost::SlavePath() const {
  if (const auto* pty = dynamic_cast<const sim::PtyLine*>(line_.get())) return pty->SlavePath();
  return "";
}

void SimulatorHost::Log(const std::string& text) {
  if (log) log(text);
}

void SimulatorHost::Cut() {
  // Not from inside the server's own call: the cut runs on the next pass of
  // the loop. Dropping CTS and CD together is what closes the pseudo-terminal.
  line_->After(xmodemquarvel::Clock::Duration::zero(), [this] {
    Log("coupure de la ligne");
    modem_.HoldCts(false);
    modem_.HangUp();
  });
}

void SimulatorHost::Run() {
  xmodemquarvel::MonotonicClock clock;
  while (!stop_.load()) {
    line_->Run(clock.Now() + std::chrono::milliseconds(200));
    const auto& numbers = modem_.NumbersDialled();
    for (; dials_logged_ < numbers.size(); ++dials_logged_)
      Log("numérotation : " + numbers[dials_logged_]);
    for (const std::string& event : server_->NewEvents()) Log(event);
  }
}

void SimulatorHost::Stop() {
  stop_.store(true);
  line_->Stop();
}

}  // namespace xmodemq
