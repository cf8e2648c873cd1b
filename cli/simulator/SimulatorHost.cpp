#include "simulator/SimulatorHost.h"

#include <stdexcept>

#include "sim/PtyLine.h"
#include "sim/Rfc2217Line.h"
#include "simulator/SimulatedServerSetup.h"

namespace xmodemq {
namespace sim = xmodemquarvel::sim;

namespace {

sim::ModemScript ModemScriptFor(const SimulatorOptions& options) {
  sim::ModemScript script;
  script.echo = options.echo;
  if (!options.dial_answers.empty()) script.dial_answers = options.dial_answers;
  return script;
}

// HOST:PORT, the host possibly an IPv6 address in brackets, the port a
// number from 1 to 65535, or 0 for a free one.
std::pair<std::string, std::string> SplitListen(const std::string& text) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size())
    throw std::invalid_argument("--listen attend HÔTE:PORT, par exemple 127.0.0.1:2217");
  std::string host = text.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  const std::string port = text.substr(colon + 1);
  const bool digits = port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos;
  if (!digits || std::stoi(port) > 65535)
    throw std::invalid_argument(
        "--listen : le port doit être un nombre de 1 à 65535, ou 0 pour "
        "un port libre (reçu « " +
        port + " »)");
  return {host, port};
}

// Listening off this machine is asked for, never a surprise: the line has no
// authentication, and whoever reaches the port gets the server.
std::unique_ptr<sim::ServedLine> MakeLine(const SimulatorOptions& options, bool& remote) {
  if (!options.listen) return std::make_unique<sim::PtyLine>();
  const auto [host, port] = SplitListen(*options.listen);
  remote = !sim::Rfc2217Line::LoopbackOnly(host);
  if (remote && !options.allow_remote)
    throw std::invalid_argument(
        "--listen " + *options.listen +
        " accepterait des clients d'autres machines, sans aucune authentification : écoutez sur "
        "127.0.0.1 ou ::1, ou ajoutez --allow-remote si c'est voulu");
  auto line = std::make_unique<sim::Rfc2217Line>(host, port);
  line->IdleTimeout(std::chrono::seconds(options.idle_timeout_seconds));
  return line;
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
      private_store_(options.store_dir ? nullptr : std::make_unique<SimulatorStore>()),
      store_path_(options.store_dir ? *options.store_dir : private_store_->Path().string()),
      line_(MakeLine(options, remote_)),
      paced_(*line_, [this] { Cut(); }),
      modem_(paced_, ModemScriptFor(options)) {
  paced_.PaceAt(options.baud);
  server_ = std::make_unique<ServerSetup>(paced_, options, store_path_);
  server_->log = [this](const std::string& text) { Log(text); };
  modem_.on_dial = [this](const std::string& number) { Log("numérotation : " + number); };
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
  modem_.on_dial = nullptr;
  server_->log = nullptr;
  if (auto* pty = dynamic_cast<sim::PtyLine*>(line_.get())) pty->on_new_slave = nullptr;
  if (auto* remote = dynamic_cast<sim::Rfc2217Line*>(line_.get())) remote->log = nullptr;
}

std::string SimulatorHost::Where() const {
  if (link_) return link_->Path();
  const auto& remote = static_cast<const sim::Rfc2217Line&>(*line_);
  // Every interface is no address to dial: name the loopback, which is one
  // of them, and which a client on this machine can use as it is.
  std::string host = listen_host_;
  if (host == "*" || host == "0.0.0.0") host = "127.0.0.1";
  if (host == "::") host = "::1";
  const bool v6 = host.find(':') != std::string::npos;
  return "rfc2217://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(remote.Port());
}

std::string SimulatorHost::StorePath() const {
  return store_path_;
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
  while (!stop_.load()) line_->Run(clock.Now() + std::chrono::milliseconds(200));
}

void SimulatorHost::Stop() {
  stop_.store(true);
  line_->Stop();
}

}  // namespace xmodemq
