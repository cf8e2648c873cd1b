// Rows of help, usage mistakes and refused simulator set-ups: nothing dialled.

#include "CommandTable.h"
#include "modem/ServerNumber.h"
#include "system/ServerNumber.h"

namespace xmodemq::test {

namespace {

// clang-format off
Row UsageRow(const std::vector<std::string>& args) {
  return {"usage: " + (args.empty() ? "" : args[0]), {}, {}, args, 2, {args.empty() ? "Utilisation : xmodemq" : "Voir « xmodemq --help »"}};
}
// clang-format on

}  // namespace

std::vector<Row> UsageRows() {
  const std::string help = "\n  2    refusé avant tout appel";
  return {
      // clang-format off
      {"help", {}, {}, {"--help"}, 0, {help, "\n  3    ligne ou modem", "\n  4    transfert refusé", "\n  129  interrompu par SIGHUP", "\n  130  interrompu par Ctrl-C", "\n  143  interrompu par SIGTERM"}},
      {"help as a subcommand", {}, {}, {"help"}, 0, {help}},
      {"help of send", {}, {}, {"send", "--help"}, 0, {"Utilisation : xmodemq send FICHIER... --user ID", "--pad", "--password-file", "(défaut 3 : 4 essais", "/dev/ttyS0", "Exemple :\n  xmodemq send ", "!--replace", "!--listen", "!\n  2    refusé"}},
      {"help of receive", {}, {}, {"help", "receive"}, 0, {"Utilisation : xmodemq receive", "--replace", "Exemple :\n  xmodemq receive ", "!--pad "}},
      {"help of simulate", {}, {}, {"-h", "simulate"}, 0, {"Utilisation : xmodemq simulate", "--accounts FICHIER", "--allow-remote", "--idle-timeout S", "line-loss=N", "répétable", "Exemple :\n  xmodemq simulate ", "!--user ID "}},
      {"help of pack", {}, {}, {"pack", "--help"}, 0, {"Utilisation : xmodemq pack SOURCE COMPACTÉ", "Exemple :\n  xmodemq pack ", "!--device", "!--force"}},
      // The parser's refusals are read in-process (UsageTest.cpp); here, how the
      // command shows one, and the short usage of a bare command.
      UsageRow({}), UsageRow({"help", "fly"}),
      {"a password as an argument", {}, {}, {std::string("--password=") + kSecret, "receive", "f", "--user", "u"}, 2, {"jamais en argument", "--password-file", "!" + std::string(kSecret)}},
      {"version, and whether its number is a real one", {}, {}, {"--version"}, 0, {"xmodemq 2.", std::string("Numéro du serveur : ") + xmodemquarvel::kServerNumber + (std::string_view(kServerNumber) == kFictionalServerNumber ? " (fictif, pour le simulateur : construisez avec -DXMODEMQUARVEL_SERVER_NUMBER=" : "\n")}},
      {"options before the subcommand", {}, {}, {"--settings", "9600,Z,8,1", "receive", "D/f", "--user", "u"}, 2, {"Les paramètres 9600,Z,8,1 ne sont pas valides"}},
      {"options after the subcommand", {}, {}, {"receive", "--user=u", "D/f", "--settings=9600,Z,8,1", "--prefix=0"}, 2, {"Les paramètres 9600,Z,8,1 ne sont pas valides"}},
      {"a port that the component refuses, the most attempts", {}, {}, {"receive", "D/f", "--user", "u", "--port", "0", "--attempts", "1000"}, 2, {"Le port 0 n'est pas disponible"}},
      {"no password anywhere, the fewest attempts", {}, {}, {"receive", "D/f", "--user", "u", "--device", "D/absent", "--attempts", "0"}, 2, {"XMODEMQ_PASSWORD", "--password-file", "!Connexion"}, {{"=", ""}}, {{"XMODEMQ_PASSWORD", std::nullopt}}},
      {"a password file that does not exist", {}, {}, {"receive", "D/f", "--user", "u", "--password-file", "D/absent"}, 2, {"fichier de mot de passe"}},
      {"a password file that others can read, a device that does not exist", {}, {{"pw", "x\n"}}, {"receive", "D/f", "--user", "u", "--password-file", "D/pw", "--device", "D/absent"}, 1, {"lisible par d'autres utilisateurs", "Connexion impossible", "n'existe pas"}, {{"=", ""}}, {{"XMODEMQ_PASSWORD", std::nullopt}}},
      {"simulate with an unknown fault", {}, {}, {"simulate", "--link", "D/m2", "--fault", "gremlins=3"}, 2, {"panne inconnue"}},
      {"simulate with a chance above 1", {}, {}, {"simulate", "--link", "D/m2", "--fault", "drop=1.5"}, 2, {"la panne drop attend une probabilité de 0 à 1"}},
      {"simulate onto a file that is not a link", {}, {{"m2", "precious"}}, {"simulate", "--link", "D/m2"}, 2, {"m2 existe et n'est pas un lien symbolique : il est laissé tel quel"}},
      {"simulate onto a link that another simulator serves", {}, {}, {"simulate", "--link", "D/modem"}, 2, {"modem est servi par un autre simulateur en marche : il est laissé tel quel"}},
      {"simulate on a port beyond 65535", {}, {}, {"simulate", "--listen", "127.0.0.1:99999"}, 2, {"le port doit être un nombre de 1 à 65535, ou 0 pour un port libre (reçu « 99999 »)"}},
      {"simulate on no port", {}, {}, {"simulate", "--listen", "127.0.0.1:"}, 2, {"--listen attend HÔTE:PORT"}},
      {"simulate on a port by name", {}, {}, {"simulate", "--listen", "localhost:telnet"}, 2, {"le port doit être un nombre de 1 à 65535"}},
      {"simulate on every IPv4 interface", {}, {}, {"simulate", "--listen", "0.0.0.0:0"}, 2, {"accepterait des clients d'autres machines", "--allow-remote"}},
      {"simulate on every IPv6 interface", {}, {}, {"simulate", "--listen", "[::]:0"}, 2, {"--allow-remote"}},
      {"simulate on every interface", {}, {}, {"simulate", "--listen", "*:2217"}, 2, {"--allow-remote"}},
      {"simulate with an accounts file that is missing", {}, {}, {"simulate", "--link", "D/m2", "--accounts", "D/absent"}, 2, {"lire le fichier des comptes", "absent"}},
      {"simulate with an accounts file without accounts", {}, {{"accounts", "\npersonne\n"}}, {"simulate", "--link", "D/m2", "--accounts", "D/accounts"}, 2, {"accounts, ligne 2 : UTILISATEUR:MOT_DE_PASSE attendu"}},
      {"simulate serving a hidden file", {}, {{".secret", "x"}}, {"simulate", "--link", "D/m2", "--serve", "D/.secret"}, 2, {"le serveur ne sert aucun nom qui commence par un point"}},
      // clang-format on
  };
}

}  // namespace xmodemq::test
