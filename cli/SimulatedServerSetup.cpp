#include "SimulatedServerSetup.h"

#include <charconv>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "sim/SimulatedServer.h"

namespace xmodemq {
namespace sim = xmodemquarvel::sim;

namespace {

template <class T>
T Number(const std::string& name, const std::string& text) {
  T value{};
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end)
    throw std::invalid_argument("valeur invalide pour la panne " + name + " : « " + text + " »");
  return value;
}

double Chance(const std::string& name, const std::string& text) {
  std::istringstream in(text);
  double p = -1;
  in >> p;
  if (!in || !in.eof() || p < 0 || p > 1)
    throw std::invalid_argument("la panne " + name + " attend une probabilité de 0 à 1");
  return p;
}

sim::ServerFaults FaultsFor(const SimulatorOptions& options) {
  sim::ServerFaults f;
  for (const std::string& fault : options.faults) {
    const auto eq = fault.find('=');
    const std::string name = fault.substr(0, eq);
    const bool has_value = eq != std::string::npos;
    const std::string value = has_value ? fault.substr(eq + 1) : "";
    const auto needs = [&] {
      if (!has_value) throw std::invalid_argument("la panne " + name + " attend =VALEUR");
    };
    if (name == "seed") {
      needs();
      f.seed = Number<std::uint32_t>(name, value);
    } else if (name == "noise") {
      needs();
      f.noise = Chance(name, value);
    } else if (name == "noise-max") {
      needs();
      f.noise_max_bytes = Number<int>(name, value);
    } else if (name == "drop") {
      needs();
      f.drop = Chance(name, value);
    } else if (name == "drop-in-frames") {
      f.drop_in_frames = true;
    } else if (name == "corrupt") {
      needs();
      f.corrupt = Chance(name, value);
    } else if (name == "corrupt-frame") {
      needs();
      f.corrupt_frame = Number<int>(name, value);
    } else if (name == "repeat-frame") {
      needs();
      f.repeat_frame = Number<int>(name, value);
    } else if (name == "report-offset") {
      needs();
      f.report_offset = Number<int>(name, value);
    } else if (name == "eot-for-response") {
      f.eot_for_response = true;
    } else if (name == "eot-for-report") {
      f.eot_for_report = true;
    } else if (name == "silent-after") {
      needs();
      f.silent_after_messages = Number<int>(name, value);
    } else if (name == "line-loss") {
      needs();
      f.line_loss_after_frames = Number<int>(name, value);
    } else {
      throw std::invalid_argument("panne inconnue « " + name + " »");
    }
  }
  return f;
}

sim::ServerScript ScriptFor(const SimulatorOptions& options) {
  sim::ServerScript script;
  if (options.status != 0) script.status = static_cast<std::uint8_t>(options.status);
  if (options.resume) script.send_position = *options.resume;
  script.resume_sends = options.resume_sends;
  for (const std::string& account : options.accounts) {
    const auto colon = account.find(':');
    script.users[account.substr(0, colon)] = account.substr(colon + 1);
  }
  return script;
}

}  // namespace

std::string StoredName(const std::string& path) {
  return std::filesystem::path(path).stem().string();
}

struct ServerSetup::Impl {
  Impl(sim::Line& line, const SimulatorOptions& options)
      : server(line, ScriptFor(options), FaultsFor(options)) {}
  sim::SimulatedServer server;
  std::size_t openings_seen = 0;
  std::vector<bool> completion_seen;
};

ServerSetup::ServerSetup(sim::Line& line, const SimulatorOptions& options)
    : impl_(std::make_unique<Impl>(line, options)) {
  impl_->server.UseDirectory(options.store_dir);
  if (options.serve_file) {
    std::ifstream in(*options.serve_file, std::ios::binary);
    if (!in) throw std::invalid_argument("fichier à servir illisible : " + *options.serve_file);
    std::ostringstream content;
    content << in.rdbuf();
    impl_->server.PutFile(StoredName(*options.serve_file), content.str());
  }
}

ServerSetup::~ServerSetup() = default;

sim::LinePeer& ServerSetup::Peer() {
  return impl_->server;
}

std::vector<std::string> ServerSetup::NewEvents() {
  std::vector<std::string> events;
  const auto& transfers = impl_->server.Transfers();
  for (; impl_->openings_seen < transfers.size(); ++impl_->openings_seen) {
    const sim::ServerTransfer& t = transfers[impl_->openings_seen];
    events.push_back(std::string(t.sens == 'E' ? "envoi" : "réception") + " de « " + t.base_name +
                     " » par « " + t.user + " », reprise " +
                     (t.reprise == '1' ? "demandée" : "non") + ", statut " +
                     std::to_string(t.status) + ", position " + std::to_string(t.position));
  }
  impl_->completion_seen.resize(transfers.size(), false);
  for (std::size_t i = 0; i < transfers.size(); ++i) {
    if (!transfers[i].completed || impl_->completion_seen[i]) continue;
    impl_->completion_seen[i] = true;
    events.push_back("transfert de « " + transfers[i].base_name + " » terminé, " +
                     std::to_string(transfers[i].frames) + " trames");
  }
  return events;
}

}  // namespace xmodemq
