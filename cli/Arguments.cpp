#include "Arguments.h"

#include <algorithm>
#include <charconv>
#include <functional>
#include <initializer_list>
#include <set>
#include <string_view>

#include "Timestamps.h"

namespace xmodemq {
namespace {

using Setter = std::function<void(Options&, const std::string&)>;

struct OptionEntry {
  std::string_view name;
  bool takes_value;
  // Subcommands that accept it; empty means every subcommand.
  std::vector<Command> commands;
  Setter set;
};

int32_t ParseInt(const std::string& option, const std::string& text, int32_t low, int32_t high) {
  int32_t value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || value < low || value > high)
    throw UsageError("la valeur de " + option + " doit être un entier de " + std::to_string(low) +
                     " à " + std::to_string(high) + " (reçu « " + text + " »)");
  return value;
}

// "24h", "90min", "2j": a number and its unit (s, min or m, h, j or d); a
// bare number is seconds.
std::chrono::seconds ParseDuration(const std::string& option, const std::string& text) {
  static const std::pair<std::string_view, long long> kUnits[] = {
      {"", 1}, {"s", 1}, {"m", 60}, {"min", 60}, {"h", 3600}, {"j", 86400}, {"d", 86400}};
  long long value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  const std::string_view unit(ptr, static_cast<std::size_t>(end - ptr));
  for (const auto& [name, seconds] : kUnits)
    if (ec == std::errc() && ptr != text.data() && value >= 0 && value <= 100'000'000 &&
        unit == name)
      return std::chrono::seconds(value * seconds);
  throw UsageError(option + " attend une durée : un nombre suivi de s, min, h ou j (reçu « " +
                   text + " »)");
}

// "BUSY,CONNECT 9600": the lines answered to one dial. An empty text is a
// dial that gets no answer at all.
std::vector<std::string> SplitAnswers(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start <= text.size() && !text.empty()) {
    const auto comma = text.find(',', start);
    const auto end = comma == std::string::npos ? text.size() : comma;
    if (end > start) lines.push_back(text.substr(start, end - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return lines;
}

const std::vector<OptionEntry>& Table() {
  using C = Command;
  static const std::vector<C> kLine = {C::Send, C::Receive};
  static const std::vector<C> kSim = {C::Simulate};
  static const std::vector<OptionEntry> table = {
      {"--quiet", false, {}, [](Options& o, const std::string&) { o.quiet = true; }},
      {"--progress", false, {}, [](Options& o, const std::string&) { o.progress = true; }},
      {"--trace",
       false,
       {C::Send, C::Receive, C::Demo},
       [](Options& o, const std::string&) { o.trace = true; }},
      {"--device", true, kLine, [](Options& o, const std::string& v) { o.devices.push_back(v); }},
      {"--port", true, kLine,
       [](Options& o, const std::string& v) {
         // Any number goes to the serial layer, which says itself why it
         // refuses one; what is not a number is refused here.
         try {
           o.port = ParseInt("--port", v, INT32_MIN, INT32_MAX);
         } catch (const UsageError&) {
           throw UsageError("--port attend le numéro du port série, un nombre de 1 à 255 (reçu « " +
                            v + " »)");
         }
       }},
      {"--settings", true, kLine, [](Options& o, const std::string& v) { o.settings = v; }},
      {"--attempts", true, kLine,
       [](Options& o, const std::string& v) { o.attempts = ParseInt("--attempts", v, 0, 1000); }},
      {"--prefix", true, kLine, [](Options& o, const std::string& v) { o.prefix = v; }},
      {"--init", true, kLine, [](Options& o, const std::string& v) { o.init = v; }},
      {"--user", true, kLine, [](Options& o, const std::string& v) { o.user = v; }},
      {"--pack-type", true, kLine,
       [](Options& o, const std::string& v) {
         if (v.size() != 1) throw UsageError("--pack-type attend un seul caractère");
         o.pack_type = v;
       }},
      {"--pad", false, {C::Send}, [](Options& o, const std::string&) { o.pad = true; }},
      {"--replace",
       false,
       {C::Receive, C::Pack, C::Unpack},
       [](Options& o, const std::string&) { o.replace = true; }},
      {"--partial-max-age",
       true,
       {C::Receive},
       [](Options& o, const std::string& v) {
         o.partial_max_age = ParseDuration("--partial-max-age", v);
       }},
      {"--resume-old",
       false,
       {C::Receive},
       [](Options& o, const std::string&) { o.resume_old = true; }},
      {"--force", false, {C::Unpack}, [](Options& o, const std::string&) { o.force = true; }},
      {"--verify", false, {C::Unpack}, [](Options& o, const std::string&) { o.verify = true; }},
      {"--journal",
       true,
       {C::Send, C::Receive, C::Journal},
       [](Options& o, const std::string& v) {
         if (v.empty()) throw UsageError("--journal attend le chemin du journal");
         o.journal_path = v;
       }},
      {"--no-journal", false, kLine, [](Options& o, const std::string&) { o.no_journal = true; }},
      {"--again", false, {C::Send}, [](Options& o, const std::string&) { o.again = true; }},
      {"--json",
       false,
       {C::Send, C::Receive, C::Pack, C::Unpack, C::Journal},
       [](Options& o, const std::string&) { o.json = true; }},
      {"--since",
       true,
       {C::Journal},
       [](Options& o, const std::string& v) {
         o.since = SinceToUtc(v);
         if (!o.since)
           throw UsageError(
               "--since attend une date ISO 8601 : 2024-05-02, 2024-05-02T09:30 ou "
               "2024-05-02T09:30:00Z (reçu « " +
               v + " »)");
       }},
      {"--file", true, {C::Journal}, [](Options& o, const std::string& v) { o.file_name = v; }},
      {"--password-file", true, kLine,
       [](Options& o, const std::string& v) { o.password_file = v; }},
      {"--link", true, kSim, [](Options& o, const std::string& v) { o.simulator.link = v; }},
      {"--listen", true, kSim, [](Options& o, const std::string& v) { o.simulator.listen = v; }},
      {"--allow-remote", false, kSim,
       [](Options& o, const std::string&) { o.simulator.allow_remote = true; }},
      {"--idle-timeout", true, kSim,
       [](Options& o, const std::string& v) {
         o.simulator.idle_timeout_seconds = ParseInt("--idle-timeout", v, 1, 86'400);
       }},
      {"--echo", true, kSim,
       [](Options& o, const std::string& v) {
         if (v != "on" && v != "off") throw UsageError("--echo attend on ou off");
         o.simulator.echo = v == "on";
       }},
      {"--dial-answer", true, kSim,
       [](Options& o, const std::string& v) {
         o.simulator.dial_answers.push_back(SplitAnswers(v));
       }},
      {"--status", true, kSim,
       [](Options& o, const std::string& v) {
         o.simulator.status = ParseInt("--status", v, 0, 255);
       }},
      {"--resume", true, kSim,
       [](Options& o, const std::string& v) {
         o.simulator.resume = ParseInt("--resume", v, 0, 16'777'215);
       }},
      {"--resume-sends", false, kSim,
       [](Options& o, const std::string&) { o.simulator.resume_sends = true; }},
      {"--accounts", true, kSim,
       [](Options& o, const std::string& v) { o.simulator.accounts_file = v; }},
      {"--store", true, kSim, [](Options& o, const std::string& v) { o.simulator.store_dir = v; }},
      {"--serve", true, kSim, [](Options& o, const std::string& v) { o.simulator.serve_file = v; }},
      {"--baud", true, kSim,
       [](Options& o, const std::string& v) {
         o.simulator.baud = ParseInt("--baud", v, 0, 4'000'000);
       }},
      {"--cut-after", true, kSim,
       [](Options& o, const std::string& v) {
         o.simulator.cut_after_frames = ParseInt("--cut-after", v, 0, INT32_MAX);
       }},
      {"--fault", true, kSim,
       [](Options& o, const std::string& v) { o.simulator.faults.push_back(v); }},
      {"--dir", true, {C::Demo}, [](Options& o, const std::string& v) { o.demo_dir = v; }},
      {"--records",
       true,
       {C::Demo},
       [](Options& o, const std::string& v) {
         o.demo_records = ParseInt("--records", v, 1, 100'000);
       }},
  };
  return table;
}

struct CommandEntry {
  std::string_view name;
  Command command;
  std::size_t operands;
  std::string_view operand_names;
  // More operands than `operands` make a batch.
  bool batch = false;
};

constexpr CommandEntry kCommands[] = {
    {"send", Command::Send, 1, "FICHIER...", true},
    {"receive", Command::Receive, 1, "FICHIER...", true},
    {"pack", Command::Pack, 2, "SOURCE COMPACTÉ"},
    {"unpack", Command::Unpack, 2, "COMPACTÉ CIBLE"},
    {"simulate", Command::Simulate, 0, ""},
    {"demo", Command::Demo, 0, ""},
    {"journal", Command::Journal, 0, ""},
    {"help", Command::Help, 0, ""},
};

}  // namespace

const char* CommandName(Command command) {
  for (const auto& c : kCommands)
    if (c.command == command) return c.name.data();
  if (command == Command::Version) return "--version";
  return "";
}

Options ParseArguments(const std::vector<std::string>& args) {
  if (args.empty()) throw UsageError("sous-commande manquante");
  Options options;
  std::vector<const OptionEntry*> seen;
  bool only_operands = false;
  bool help = false;
  bool version = false;

  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (only_operands || arg.size() < 2 || arg[0] != '-') {
      if (options.command == Command::None) {
        const auto it = std::find_if(std::begin(kCommands), std::end(kCommands),
                                     [&](const CommandEntry& c) { return c.name == arg; });
        if (it == std::end(kCommands)) throw UsageError("sous-commande inconnue « " + arg + " »");
        options.command = it->command;
      } else {
        options.operands.push_back(arg);
      }
      continue;
    }
    if (arg == "--") {
      only_operands = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      help = true;
      continue;
    }
    if (arg == "--version" || arg == "-V") {
      version = true;
      continue;
    }
    if (arg == "-q") {
      options.quiet = true;
      continue;
    }

    std::string name = arg;
    std::optional<std::string> inline_value;
    if (const auto eq = arg.find('='); eq != std::string::npos && arg.rfind("--", 0) == 0) {
      name = arg.substr(0, eq);
      inline_value = arg.substr(eq + 1);
    }
    if (name == "--account")
      throw UsageError(
          "--account n'existe plus : un mot de passe en argument est visible de tous les "
          "utilisateurs (ps, /proc). Mettez les comptes dans un fichier, un "
          "UTILISATEUR:MOT_DE_PASSE par ligne, et donnez --accounts FICHIER");
    if (name == "--password" || name == "-p" || name == "--psw")
      throw UsageError(
          "le mot de passe ne se donne jamais en argument : la ligne de commande est visible "
          "de tous les utilisateurs (ps, /proc) et reste dans l'historique du shell. "
          "Utilisez --password-file FICHIER, la variable XMODEMQ_PASSWORD ou la saisie au "
          "clavier");
    const auto& table = Table();
    const auto entry = std::find_if(table.begin(), table.end(),
                                    [&](const OptionEntry& s) { return s.name == name; });
    if (entry == table.end()) throw UsageError("option inconnue « " + name + " »");
    std::string value;
    if (entry->takes_value) {
      if (inline_value) {
        value = *inline_value;
      } else {
        if (i + 1 >= args.size()) throw UsageError(std::string(name) + " attend une valeur");
        value = args[++i];
      }
    } else if (inline_value) {
      throw UsageError(std::string(name) + " ne prend pas de valeur");
    }
    entry->set(options, value);
    seen.push_back(&*entry);
  }

  if (version) {
    options.command = Command::Version;
    return options;
  }
  if (options.command == Command::Help && !options.operands.empty()) {
    // "help send": the help of one subcommand.
    const auto it = std::find_if(std::begin(kCommands), std::end(kCommands), [&](const auto& c) {
      return c.name == options.operands.front() && c.command != Command::Help;
    });
    if (it == std::end(kCommands) || options.operands.size() != 1)
      throw UsageError("help attend au plus le nom d'une sous-commande");
    options.help_topic = it->command;
    return options;
  }
  if (help) {
    if (options.command != Command::Help) options.help_topic = options.command;
    options.command = Command::Help;
    return options;
  }
  if (options.command == Command::None) throw UsageError("sous-commande manquante");
  if (options.command == Command::Help) return options;

  for (const OptionEntry* entry : seen) {
    if (entry->commands.empty()) continue;
    if (std::find(entry->commands.begin(), entry->commands.end(), options.command) ==
        entry->commands.end())
      throw UsageError(std::string(entry->name) + " ne s'applique pas à « " +
                       CommandName(options.command) + " »");
  }
  const auto cmd =
      std::find_if(std::begin(kCommands), std::end(kCommands),
                   [&](const CommandEntry& c) { return c.command == options.command; });
  if (options.operands.size() < cmd->operands ||
      (!cmd->batch && options.operands.size() != cmd->operands)) {
    if (cmd->operands == 0)
      throw UsageError(std::string(cmd->name) + " ne prend pas de fichier (reçu « " +
                       options.operands.front() + " »)");
    throw UsageError(std::string(cmd->name) + " attend " + std::string(cmd->operand_names));
  }
  if (options.progress && options.quiet) throw UsageError("--progress et --quiet s'excluent");
  if (!options.devices.empty() && options.port) throw UsageError("--device et --port s'excluent");
  if (options.journal_path && options.no_journal)
    throw UsageError("--journal et --no-journal s'excluent");
  if ((options.command == Command::Send || options.command == Command::Receive) &&
      options.user.empty())
    throw UsageError(std::string(cmd->name) + " attend --user IDENTIFIANT");
  if (options.command == Command::Simulate &&
      options.simulator.link.empty() == !options.simulator.listen)
    throw UsageError("simulate attend --link CHEMIN ou --listen HÔTE:PORT (l'un des deux)");
  return options;
}

}  // namespace xmodemq
