#include "commandline/Arguments.h"

#include <algorithm>
#include <charconv>
#include <functional>
#include <initializer_list>
#include <set>
#include <string_view>

#include "commandline/OptionCatalogue.h"

namespace xmodemq {
namespace {

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
    {"exchange", Command::Exchange, 0, "[status]", true},
    {"submit", Command::Submit, 1, "FICHIER...", true},
    {"fetch-returns", Command::FetchReturns, 1, "DOSSIER"},
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
  std::vector<const OptionSpec*> seen;
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
    const OptionSpec* entry = FindOption(name);
    if (entry == nullptr || entry->set == nullptr)
      throw UsageError("option inconnue « " + name + " »");
    std::string value;
    if (!entry->value.empty()) {
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
    seen.push_back(entry);
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

  for (const OptionSpec* entry : seen) {
    if (!entry->AppliesTo(options.command))
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
  if (options.command == Command::Exchange) {
    if (!options.profile) throw UsageError("exchange attend --profile FICHIER");
    if (options.operands.size() > 1 ||
        (options.operands.size() == 1 && options.operands.front() != "status"))
      throw UsageError("exchange ne prend que « status » (reçu « " + options.operands.back() +
                       " »)");
    if (!options.operands.empty() && (options.check || options.now || options.resume_calls))
      throw UsageError("exchange status ne prend ni --check, ni --now, ni --resume-calls");
    if (options.resume_calls && (options.check || options.now))
      throw UsageError("--resume-calls ne prend ni --check ni --now");
  }
  if (options.command == Command::Submit && !options.profile)
    throw UsageError("submit attend --profile FICHIER");
  if (options.command == Command::FetchReturns && !options.profile)
    throw UsageError("fetch-returns attend --profile FICHIER");
  if (options.command == Command::Simulate &&
      options.simulator.link.empty() == !options.simulator.listen)
    throw UsageError("simulate attend --link CHEMIN ou --listen HÔTE:PORT (l'un des deux)");
  return options;
}

}  // namespace xmodemq
