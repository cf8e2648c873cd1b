// The command line read in-process: which mistake each wrong line is refused
// for, and the one catalogue of options that the parser, --help and the
// manual page share.

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "commandline/Arguments.h"
#include "commandline/OptionCatalogue.h"
#include "commandline/Usage.h"
#include "xmodemquarvel/Version.h"

namespace xmodemq::test {
namespace {

struct Mistake {
  const char* name;
  std::vector<std::string> args;
  // What the refusal says.
  std::string said;
};

// clang-format off
const Mistake kMistakes[] = {
    {"Nothing", {}, "sous-commande manquante"},
    {"QuietAlone", {"-q"}, "sous-commande manquante"},
    {"UnknownSubcommand", {"fly"}, "sous-commande inconnue « fly »"},
    {"HelpOfAnUnknownOne", {"help", "fly"}, "help attend au plus le nom d'une sous-commande"},
    {"SendWithoutFile", {"send"}, "send attend FICHIER..."},
    {"SendWithoutUser", {"send", "f"}, "send attend --user IDENTIFIANT"},
    {"UserWithoutValue", {"send", "f", "--user"}, "--user attend une valeur"},
    {"FlagWithValue", {"pack", "a", "b", "--replace=yes"}, "--replace ne prend pas de valeur"},
    {"PackOneOperand", {"pack", "only-one"}, "pack attend SOURCE COMPACTÉ"},
    {"JournalWithAFile", {"journal", "f"}, "journal ne prend pas de fichier (reçu « f »)"},
    {"AttemptsNotANumber", {"send", "f", "--user", "u", "--attempts", "x"}, "la valeur de --attempts doit être un entier de 0 à 1000 (reçu « x »)"},
    {"PortNotANumber", {"send", "f", "--user", "u", "--port", "abc"}, "--port attend le numéro du port série, un nombre de 1 à 255 (reçu « abc »)"},
    {"DeviceOnPack", {"pack", "a", "b", "--device", "/dev/null"}, "--device ne s'applique pas à « pack »"},
    {"ForceOnPack", {"pack", "a", "b", "--force"}, "--force ne s'applique pas à « pack »"},
    {"UnknownOption", {"send", "f", "--user", "u", "--frobnicate"}, "option inconnue « --frobnicate »"},
    {"SimulateWithoutLine", {"simulate"}, "simulate attend --link CHEMIN ou --listen HÔTE:PORT"},
    {"SimulateOnBoth", {"simulate", "--link", "m", "--listen", "127.0.0.1:0"}, "simulate attend --link CHEMIN ou --listen HÔTE:PORT (l'un des deux)"},
    {"DeviceAndPort", {"send", "f", "--user", "u", "--device", "/dev/null", "--port", "1"}, "--device et --port s'excluent"},
    {"QuietAndProgress", {"pack", "a", "b", "-q", "--progress"}, "--progress et --quiet s'excluent"},
    {"JournalAndNoJournal", {"send", "f", "--user", "u", "--journal", "j", "--no-journal"}, "--journal et --no-journal s'excluent"},
    {"PartialMaxAgeUnit", {"receive", "f", "--user", "u", "--partial-max-age", "3x"}, "--partial-max-age attend une durée : un nombre suivi de s, min, h ou j (reçu « 3x »)"},
    {"SinceNotADate", {"journal", "--since", "hier"}, "--since attend une date ISO 8601"},
    {"EchoNeitherOnNorOff", {"simulate", "--link", "m", "--echo", "oui"}, "--echo attend on ou off"},
    {"PackTypeOfTwo", {"send", "f", "--user", "u", "--pack-type", "01"}, "--pack-type attend un seul caractère"},
    {"DemoOfNoRecord", {"demo", "--records", "0"}, "la valeur de --records doit être un entier de 1 à 100000"},
    {"PasswordAsArgument", {"--password=x", "receive", "f", "--user", "u"}, "le mot de passe ne se donne jamais en argument"},
    {"AccountsOnTheLine", {"simulate", "--link", "m", "--account", "u:x"}, "--account n'existe plus"},
};
// clang-format on

class Usage : public ::testing::TestWithParam<Mistake> {};

TEST_P(Usage, TheRefusalNamesTheMistake) {
  try {
    ParseArguments(GetParam().args);
    ADD_FAILURE() << "accepted";
  } catch (const UsageError& e) {
    EXPECT_NE(std::string(e.what()).find(GetParam().said), std::string::npos) << e.what();
  }
}

INSTANTIATE_TEST_SUITE_P(Mistakes, Usage, ::testing::ValuesIn(kMistakes),
                         [](const auto& info) { return std::string(info.param.name); });

// "--device CHEMIN", "-q, --quiet": an option as the help and the manual
// name it.
std::string Named(const OptionSpec& o) {
  std::string text = o.short_name.empty() ? "" : std::string(o.short_name) + ", ";
  text += o.name;
  return o.value.empty() ? text : text + " " + std::string(o.value);
}

// The options that each section of xmodemq(1) describes, as Named() writes
// them: the line after each .TP that starts with an option.
std::map<std::string, std::set<std::string>> ManualOptions() {
  std::ifstream in(XMQ_MANUAL);
  std::map<std::string, std::set<std::string>> sections;
  std::string section, line;
  while (std::getline(in, line)) {
    if (line.rfind(".SH ", 0) == 0) section = line.substr(4);
    if (line != ".TP" || !std::getline(in, line) || line.rfind("\\fB\\-", 0) != 0) continue;
    std::string plain;
    for (std::size_t i = 0; i < line.size(); ++i) {
      if (line.compare(i, 2, "\\f") == 0)
        i += 2;
      else if (line[i] != '\\')
        plain += line[i];
    }
    sections[section].insert(plain);
  }
  return sections;
}

TEST(OptionCatalogue, TheHelpAndTheManualDescribeEachOptionWhereItApplies) {
  // The manual's footer carries the version that the command prints.
  std::ifstream page(XMQ_MANUAL);
  std::string title;
  while (std::getline(page, title) && title.rfind(".TH ", 0) != 0) {
  }
  EXPECT_NE(title.find("\"XmodemQuarvel " XMODEMQUARVEL_VERSION_STRING "\""), std::string::npos)
      << title;
  const auto manual = ManualOptions();
  ASSERT_FALSE(manual.empty()) << XMQ_MANUAL;
  const std::string help = UsageText();
  for (const OptionGroup& group : OptionGroups()) {
    std::set<std::string> listed;
    for (const OptionSpec& o : OptionCatalogue()) {
      const bool general = o.commands.empty();
      bool taken = general && group.commands.empty();
      for (const Command c : group.commands) taken = taken || (!general && o.AppliesTo(c));
      if (taken) listed.insert(Named(o));
      EXPECT_NE(help.find("\n  " + Named(o) + " "), std::string::npos) << Named(o);
      for (const Command c : group.commands)
        EXPECT_EQ(UsageText(c).find("\n  " + Named(o) + " ") != std::string::npos, o.AppliesTo(c))
            << Named(o) << " in the help of " << CommandName(c);
    }
    const auto found = manual.find(std::string(group.manual));
    EXPECT_EQ(found == manual.end() ? std::set<std::string>() : found->second, listed)
        << group.manual;
  }
}

}  // namespace
}  // namespace xmodemq::test
