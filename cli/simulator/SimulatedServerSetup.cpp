#include "simulator/SimulatedServerSetup.h"

#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

#include "sim/SimulatedServer.h"
#include "system/FileErrors.h"
#include "terminal/Text.h"
#include "xmodemquarvel/LineText.h"

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

// One USER:PASSWORD a line; empty lines are skipped. A file that others may
// read gives the passwords away: say so, but go on.
std::map<std::string, std::string> ReadAccounts(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && (st.st_mode & (S_IRWXG | S_IRWXO)) != 0)
    PrintLine(stderr, "xmodemq: attention : " + path +
                          " est lisible par d'autres utilisateurs (chmod 600 " + path + ")");
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::invalid_argument(FileError("lire le fichier des comptes", path, errno));
  std::map<std::string, std::string> users;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    const auto colon = line.find(':');
    if (colon == std::string::npos || colon == 0)
      throw std::invalid_argument(path + ", ligne " + std::to_string(number) +
                                  " : UTILISATEUR:MOT_DE_PASSE attendu");
    users[line.substr(0, colon)] = line.substr(colon + 1);
  }
  if (users.empty())
    throw std::invalid_argument(path + " ne contient aucun compte UTILISATEUR:MOT_DE_PASSE");
  return users;
}

sim::ServerScript ScriptFor(const SimulatorOptions& options) {
  sim::ServerScript script;
  if (options.status != 0) script.status = static_cast<std::uint8_t>(options.status);
  if (options.resume) script.send_position = *options.resume;
  script.resume_sends = options.resume_sends;
  if (options.accounts_file) script.users = ReadAccounts(*options.accounts_file);
  return script;
}

// What a client sent, as the log shows it: its texts in the line's code page,
// made visible where the log is printed.
std::string Opening(const sim::ServerTransfer& t) {
  return std::string(t.sens == 'E' ? "envoi" : "réception") + " de « " +
         xmodemquarvel::Cp1252ToUtf8(t.base_name) + " » par « " +
         xmodemquarvel::Cp1252ToUtf8(t.user) + " », reprise " +
         (t.reprise == '1' ? "demandée" : "non") + ", statut " + std::to_string(t.status) +
         ", position " + std::to_string(t.position);
}

}  // namespace

std::string StoredName(const std::string& path) {
  return std::filesystem::path(path).stem().string();
}

struct ServerSetup::Impl {
  Impl(sim::Line& line, const SimulatorOptions& options)
      : server(line, ScriptFor(options), FaultsFor(options)) {}
  sim::SimulatedServer server;
};

ServerSetup::ServerSetup(sim::Line& line, const SimulatorOptions& options, int store)
    : impl_(std::make_unique<Impl>(line, options)) {
  impl_->server.UseFolder(store);
  for (const std::string& file : options.serve_files) {
    const std::string name = StoredName(file);
    if (name.empty() || name[0] == '.')
      throw std::invalid_argument("--serve " + file +
                                  " : le serveur ne sert aucun nom qui commence par un point");
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::invalid_argument("fichier à servir illisible : " + file);
    std::ostringstream content;
    content << in.rdbuf();
    impl_->server.PutFile(xmodemquarvel::Utf8ToCp1252(name), content.str());
  }
  impl_->server.on_transfer = [this](const sim::ServerTransfer& t) {
    if (!log) return;
    if (t.whole && !t.completed) {
      log("envoi de « " + xmodemquarvel::Cp1252ToUtf8(t.base_name) + " » reçu en entier, " +
          std::to_string(t.frames) + " trames");
    } else if (!t.completed) {
      log(Opening(t));
    } else {
      log("transfert de « " + xmodemquarvel::Cp1252ToUtf8(t.base_name) + " » terminé, " +
          std::to_string(t.frames) + " trames");
    }
  };
}

ServerSetup::~ServerSetup() = default;

sim::LinePeer& ServerSetup::Peer() {
  return impl_->server;
}

}  // namespace xmodemq
