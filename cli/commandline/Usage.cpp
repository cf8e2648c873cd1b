#include "commandline/Usage.h"

#include <algorithm>

#include "commandline/OptionCatalogue.h"
#include "terminal/Text.h"

#include "system/ServerNumber.h"
#include "xmodemquarvel/Version.h"

namespace xmodemq {
namespace {

constexpr const char* kPasswordNote = R"(
  Le mot de passe vient de --password-file, sinon de la variable
  XMODEMQ_PASSWORD, sinon d'une saisie sans écho au terminal. Il n'est jamais
  accepté en argument.
)";

// "  --device CHEMIN         port série...": an option's lines in a listing,
// its help wrapped at the 78th column beside the name. `prefix` goes before
// the text ("(send) ").
std::string OptionLines(const OptionSpec& option, Command listing, const std::string& prefix) {
  constexpr std::size_t kTextColumn = 26;
  constexpr std::size_t kWidth = 78;
  std::string head = "  ";
  if (!option.short_name.empty()) head += std::string(option.short_name) + ", ";
  head += std::string(option.name);
  if (!option.value.empty()) head += " " + std::string(option.value);
  std::string out = head;
  std::size_t used = Columns(head);
  if (used + 1 > kTextColumn) {
    out += " ";
    ++used;
  }
  const std::string text = prefix + std::string(option.HelpFor(listing));
  std::size_t at = 0;
  bool first = true;
  while (at < text.size()) {
    // The words that fit on this line, at least one.
    std::size_t end = at;
    std::size_t next = at;
    const std::size_t start_column = first ? std::max(used, kTextColumn) : kTextColumn;
    while (next < text.size()) {
      std::size_t word_end = text.find(' ', next);
      if (word_end == std::string::npos) word_end = text.size();
      const std::size_t columns =
          start_column + Columns(std::string_view(text).substr(at, word_end - at));
      if (columns > kWidth && end > at) break;
      end = word_end;
      next = word_end + 1;
    }
    if (first) {
      out += std::string(start_column - used, ' ');
    } else {
      out += "\n" + std::string(kTextColumn, ' ');
    }
    out += text.substr(at, end - at);
    at = next;
    first = false;
  }
  return out + "\n";
}

// The options that `commands` take, for the listing of `listing` (None for
// a group of the general help): each option once, in the catalogue's order,
// "(send) " before those that only some of the group take.
std::string OptionList(const std::vector<Command>& commands, Command listing) {
  std::string out;
  for (const OptionSpec& option : OptionCatalogue()) {
    if (commands.empty() != option.commands.empty()) continue;
    std::vector<Command> takers;
    for (const Command c : commands)
      if (option.AppliesTo(c)) takers.push_back(c);
    if (!commands.empty() && takers.empty()) continue;
    std::string prefix;
    if (takers.size() < commands.size() && listing == Command::None)
      for (const Command c : takers)
        prefix += std::string(prefix.empty() ? "(" : ", ") + CommandName(c);
    if (!prefix.empty()) prefix += ") ";
    const Command shown = listing != Command::None || takers.empty() ? listing : takers.front();
    out += OptionLines(option, shown, prefix);
  }
  return out;
}

// The general help's listings after the first: "Options de pack et unpack :"...
std::string GroupLists() {
  std::string out;
  const auto& groups = OptionGroups();
  for (std::size_t i = 1; i + 1 < groups.size(); ++i)
    out += "\nOptions de " + std::string(groups[i].title) + " :\n" +
           OptionList(groups[i].commands, Command::None);
  return out;
}

std::string GeneralOptions() {
  return OptionList({}, Command::None);
}

struct Topic {
  Command command;
  const char* synopsis;
  const char* what;
  const char* example;
};

std::string TopicText(const Topic& t) {
  std::string options = OptionList({t.command}, t.command);
  if (t.command == Command::Send || t.command == Command::Receive) options += kPasswordNote;
  return std::string("Utilisation : xmodemq ") + t.synopsis + "\n\n" + t.what + "\n\nOptions :\n" +
         options + "\nOptions générales :\n" + GeneralOptions() + "\nExemple :\n" + t.example +
         "\n\nCodes de sortie : voir « xmodemq --help ».\n";
}

const Topic* FindTopic(Command command) {
  static const Topic kTopics[] = {
      {Command::Send, "send FICHIER... --user ID [OPTIONS]",
       "Envoie FICHIER au serveur, qui le range sous son nom sans dossier ni\n"
       "extension ; plusieurs fichiers partent dans l'ordre sur un seul appel.",
       "  xmodemq send /data/FACT0001.TXT --user PS0001 --password-file ~/.mdp \\\n"
       "      --device /dev/ttyUSB0 --prefix 0"},
      {Command::Receive, "receive FICHIER... --user ID [OPTIONS]",
       "Reçoit FICHIER du serveur dans un fichier partiel (.xmodemq-partiel/ à\n"
       "côté de FICHIER), renommé en FICHIER à la fin ; relancée après une\n"
       "coupure, reprend après les blocs déjà reçus. Plusieurs fichiers : un seul\n"
       "appel, dans l'ordre, arrêt au premier échec.",
       "  xmodemq receive /data/RETOUR01.TXT --user PS0001 --password-file ~/.mdp \\\n"
       "      --device rfc2217://ts1.example:2001"},
      {Command::Pack, "pack SOURCE COMPACTÉ",
       "Compacte SOURCE dans COMPACTÉ, écrit dans un fichier temporaire renommé\n"
       "à la fin.",
       "  xmodemq pack FACT0001.TXT FACT0001.PK"},
      {Command::Unpack, "unpack COMPACTÉ CIBLE",
       "Décompacte COMPACTÉ dans CIBLE, écrit dans un fichier temporaire renommé\n"
       "à la fin.",
       "  xmodemq unpack FACT0001.PK FACT0001.TXT"},
      {Command::Simulate, "simulate --link CHEMIN | --listen HÔTE:PORT [OPTIONS]",
       "Un modem et un serveur simulés, sur un pseudo-terminal dont CHEMIN est le\n"
       "lien symbolique, ou derrière un serveur de ports série (RFC 2217) que les\n"
       "clients joignent par --device rfc2217://HÔTE:PORT. Sert appel après appel\n"
       "jusqu'à SIGINT, SIGTERM ou SIGHUP.",
       "  xmodemq simulate --link /tmp/modem --accounts ~/.comptes &\n"
       "  XMODEMQ_PASSWORD=x xmodemq send FACT0001.TXT --user PS0001 --device /tmp/modem"},
      {Command::Demo, "demo [--dir DOSSIER] [--records N]",
       "Démonstration complète sur le simulateur : appel, envoi, réception,\n"
       "coupure et reprise, compactage, comparaison des copies, résumé.",
       "  xmodemq demo --records 64"},
      {Command::Journal, "journal [--since DATE] [--file NOM] [--json]",
       "Les transferts enregistrés, du plus ancien au plus récent : début,\n"
       "sens, blocs, résultat, code de sortie, fichier et, après un échec,\n"
       "pourquoi. Chaque envoi et chaque réception y a sa ligne.",
       "  xmodemq journal --file FACT0001 --since 2024-05-02"},
      {Command::Exchange, "exchange [status] --profile FICHIER [--check] [--now] [--json]",
       "L'échange du jour d'un compte, en un appel : envoie les fichiers complets\n"
       "de outbox/ (du plus ancien au plus récent), range ce qui est parti dans\n"
       "sent/AAAA-MM-JJ/ et ce qui ne peut partir dans held/, demande les retours\n"
       "de « fetch » et les dépose dans inbox/. « status » décrit le spool sans\n"
       "rien changer. Codes : 0 fait, 10 rien à faire, 75 réessayer plus tard,\n"
       "20 une personne doit intervenir, 2 profil ou commande invalide.",
       "  xmodemq exchange --profile /etc/xmodemq/PS0001.toml --json"},
      {Command::Submit, "submit FICHIER... --profile FICHIER [--again] [--json]",
       "Dépose FICHIER dans la file d'attente du compte du profil, dans sa base\n"
       "PostgreSQL (clé journal = \"postgresql://...\"), que les machines de\n"
       "l'échange servent : chaque fichier part une fois, par l'une d'elles.\n"
       "Les fichiers sont vérifiés comme ceux de outbox/ et déposés tous ensemble,\n"
       "ou aucun. Codes : 0 déposés, 2 refusés (rien n'est déposé), 75 base\n"
       "injoignable, réessayer plus tard.",
       "  xmodemq submit FACT0001.TXT FACT0002.TXT --profile /etc/xmodemq/PS0001.toml"},
      {Command::FetchReturns, "fetch-returns DOSSIER --profile FICHIER [--json]",
       "Dépose dans DOSSIER les retours du serveur pour le compte du profil que\n"
       "l'une des machines de l'échange a reçus et gardés dans la base PostgreSQL\n"
       "du journal : chacun une fois par dossier, jamais sur un fichier existant\n"
       "(NOM, NOM.1...). Codes : 0 fait, 2 profil ou dossier invalide, 75 base\n"
       "injoignable, réessayer plus tard, 1 dossier impossible à écrire.",
       "  xmodemq fetch-returns /srv/facturation/retours --profile /etc/xmodemq/PS0001.toml"},
  };
  for (const Topic& t : kTopics)
    if (t.command == command) return &t;
  return nullptr;
}

}  // namespace

std::string UsageText(Command topic) {
  if (const Topic* t = FindTopic(topic)) return TopicText(*t);
  return std::string(R"(Utilisation : xmodemq SOUS-COMMANDE [OPTIONS] [FICHIERS]

Échange de fichiers avec le serveur par modem, et compactage des fichiers.

Sous-commandes :
  send FICHIER... --user ID    envoie FICHIER au serveur ; plusieurs fichiers
                               partent dans l'ordre sur un seul appel
  receive FICHIER... --user ID reçoit FICHIER du serveur dans un fichier
                               partiel (.xmodemq-partiel/ à côté de FICHIER),
                               renommé en FICHIER à la fin ; relancée après une
                               coupure, reprend après les blocs déjà reçus ;
                               plusieurs fichiers : un seul appel, dans l'ordre,
                               arrêt au premier échec
  pack SOURCE COMPACTÉ         compacte SOURCE dans COMPACTÉ
  unpack COMPACTÉ CIBLE        décompacte COMPACTÉ dans CIBLE
  simulate --link CHEMIN       modem et serveur simulés sur un pseudo-terminal
                               dont CHEMIN est le lien symbolique
  simulate --listen HÔTE:PORT  les mêmes derrière un serveur de ports série
                               (RFC 2217) : --device rfc2217://HÔTE:PORT
  demo                         démonstration complète sur le simulateur
  journal                      les transferts enregistrés, du plus ancien au
                               plus récent
  exchange --profile FICHIER   l'échange du jour d'un compte (spool, retours)
  submit FICHIER... --profile FICHIER
                               dépose FICHIER dans la file d'attente que
                               servent les machines de l'échange
  fetch-returns DOSSIER --profile FICHIER
                               dépose dans DOSSIER les retours reçus par les
                               machines de l'échange
  help [SOUS-COMMANDE]         cette aide, ou celle d'une sous-commande

Options de send et receive :
)") + OptionList(OptionGroups().front().commands, Command::None) +
         kPasswordNote + GroupLists() + "\nOptions générales :\n" + GeneralOptions() +
         R"(
Codes de sortie :
  0    succès
  1    échec (rvFalse), erreur de fichier, compactage/décompactage impossible
  2    refusé avant tout appel et toute écriture : erreur d'utilisation,
       fichier absent ou incomplet, cible existante, fichier partiel
       ancien ou d'un autre, paramètres refusés, fichier déjà envoyé,
       journal impossible à ouvrir ou à écrire
  3    ligne ou modem en défaut (rvCTS)
  4    transfert refusé par le serveur (rvRefuse)
  129  interrompu par SIGHUP (terminal fermé), la ligne raccrochée
  130  interrompu par Ctrl-C (SIGINT)
  143  interrompu par SIGTERM
)";
}

std::string ShortUsageText() {
  return R"(Utilisation : xmodemq SOUS-COMMANDE [OPTIONS] [FICHIERS]
  send FICHIER... --user ID   receive FICHIER... --user ID
  pack SOURCE COMPACTÉ        unpack COMPACTÉ CIBLE
  simulate --link CHEMIN | --listen HÔTE:PORT      demo      journal
Voir « xmodemq --help » ou « xmodemq SOUS-COMMANDE --help ».
)";
}

std::string VersionText() {
  // The number is fixed when the program is built: an operator checks it here
  // before the first call.
  return std::string("xmodemq ") + XMODEMQUARVEL_VERSION_STRING + " — " +
         xmodemquarvel::kLibraryTitle + "\nNuméro du serveur : " + kServerNumber +
         (std::string_view(kServerNumber) == kFictionalServerNumber
              ? " (fictif, pour le simulateur : construisez avec "
                "-DXMODEMQUARVEL_SERVER_NUMBER=le vrai numéro avant un vrai appel)"
              : "") +
         "\n";
}

}  // namespace xmodemq
