#include "Usage.h"

#include "modem/ServerNumber.h"
#include "xmodemquarvel/Version.h"

namespace xmodemq {
namespace {

// The options of the line and of the server's side, shared by send and receive.
constexpr const char* kLineOptions =
    R"(  --user ID               identifiant de l'utilisateur sur le serveur
  --pack-type C           type de compactage annoncé au serveur (défaut 0)
  --device CHEMIN         port série par son chemin (/dev/ttyUSB0, ...), ou
                          ligne distante rfc2217://HÔTE:PORT (ajouter
                          ?nomodemlines si elle n'a pas de lignes de modem) ;
                          répétable : la première ligne libre sert
  --port N                port série par son numéro, de 1 à 255 (N donne
                          /dev/ttyS<N-1>)
  --settings TEXTE        vitesse,parité,bits,arrêt (défaut 9600,N,8,1)
  --attempts N            tentatives par commande du modem (défaut 3)
  --prefix TEXTE          préfixe de numérotation (par exemple 0)
  --init TEXTE            chaîne d'initialisation du modem
  --password-file FICHIER lit le mot de passe dans FICHIER (première ligne)
  --trace                 affiche le dialogue avec le modem et la trace
)";
constexpr const char* kPad =
    R"(  --pad                   (send) envoie une copie complétée par des espaces
                          d'un fichier dont la taille n'est pas un multiple
                          de 128 octets
)";
constexpr const char* kReplace =
    R"(  --replace               (receive) remplace FICHIER s'il existe, une fois la
                          réception terminée
)";
constexpr const char* kResume =
    R"(  --partial-max-age DURÉE (receive) reprend sans un mot un fichier partiel
                          plus jeune que DURÉE (défaut 24h ; s, min, h, j)
  --resume-old            (receive) reprend un fichier partiel quels que
                          soient son âge et son origine
)";
// The journal of the transfers, on send and receive.
constexpr const char* kJournalOptions =
    R"(  --journal FICHIER       le journal des transferts (défaut : variable
                          XMODEMQ_JOURNAL, sinon
                          $XDG_STATE_HOME/xmodemq/journal.sqlite, sinon
                          ~/.local/state/xmodemq/journal.sqlite)
  --no-journal            ni journal, ni garde contre un second envoi
  --json                  un objet JSON par fichier sur la sortie standard,
                          à la fin de son transfert, et rien d'autre
)";
constexpr const char* kAgain =
    R"(  --again                 (send) envoie même un fichier que le journal dit
                          déjà envoyé, sous le même nom, au même serveur,
                          pour le même utilisateur
)";
constexpr const char* kPasswordNote = R"(
  Le mot de passe vient de --password-file, sinon de la variable
  XMODEMQ_PASSWORD, sinon d'une saisie sans écho au terminal. Il n'est jamais
  accepté en argument.
)";

constexpr const char* kSimulateOptions =
    R"(  --link CHEMIN           lien symbolique vers le pseudo-terminal ; refusé
                          tant qu'un autre simulateur le sert
  --listen HÔTE:PORT      ou : écoute en RFC 2217 sur HÔTE:PORT, port de 1 à
                          65535 (0 : un port libre, annoncé au démarrage)
  --allow-remote          permet d'écouter ailleurs que sur la boucle locale
                          (127.0.0.1, ::1) : la ligne n'a aucune
                          authentification
  --idle-timeout S        coupe un client TCP resté S secondes sans rien
                          envoyer ni recevoir (défaut 600)
  --echo on|off           écho des commandes par le modem (défaut on)
  --dial-answer TEXTE     réponses à un appel, séparées par des virgules
                          ("BUSY,CONNECT 9600", "NO DIALTONE", "" = silence) ;
                          répétable : une par appel, la dernière sert ensuite
  --status N              statut de la réponse du serveur (0 accepte)
  --resume N              position de reprise annoncée à un envoi (blocs)
  --resume-sends          un envoi reprend après les blocs déjà reçus
  --accounts FICHIER      utilisateurs connus, un UTILISATEUR:MOT_DE_PASSE par
                          ligne ; sans : tous admis
  --store DOSSIER         dossier des fichiers reçus et servis, rangés sous
                          leur nom sans extension (défaut : un dossier privé
                          créé au démarrage, annoncé, supprimé à l'arrêt) ;
                          un nom qui commence par un point ou contient un
                          chemin n'est jamais reçu ni servi
  --serve FICHIER         copie FICHIER dans le dossier, prêt à être servi
  --baud N                cadence la ligne à N bits par seconde
  --cut-after N           coupe la ligne une fois après N trames de données
  --fault NOM[=VALEUR]    panne injectée dans le serveur (répétable) :
                          seed=N noise=P noise-max=N drop=P drop-in-frames
                          corrupt=P corrupt-frame=N repeat-frame=N
                          report-offset=N eot-for-response eot-for-report
                          silent-after=N line-loss=N
)";

constexpr const char* kPackOptions =
    R"(  --replace               remplace la cible si elle existe, une fois le
                          nouveau fichier complet
  --force                 (unpack) décompacte même un fichier qui n'a pas
                          l'air compacté
  --verify                (unpack) recompacte chaque bloc pour le comparer,
                          au lieu d'un échantillon
  --json                  un objet JSON sur la sortie standard à la fin
)";

constexpr const char* kJournalListOptions =
    R"(  --since DATE            depuis DATE (ISO 8601 : 2024-05-02,
                          2024-05-02T09:30, 2024-05-02T09:30:00Z)
  --file NOM              les transferts de NOM (nom du fichier ou nom pour
                          le serveur)
  --json                  un objet JSON par transfert et par ligne
  --journal FICHIER       un autre journal que celui par défaut
)";

constexpr const char* kDemoOptions = R"(  --dir DOSSIER           garde les fichiers dans DOSSIER
  --records N             nombre d'enregistrements du fichier (défaut 400)
  --trace                 affiche aussi la trace
)";

constexpr const char* kGeneralOptions = R"(  --progress              progression en lignes simples
  -q, --quiet             aucune progression
  -h, --help              l'aide (après une sous-commande : la sienne)
  -V, --version           la version
  --                      la suite n'est faite que de noms de fichiers
)";

struct Topic {
  Command command;
  const char* synopsis;
  const char* what;
  std::string options;
  const char* example;
};

std::string TopicText(const Topic& t) {
  return std::string("Utilisation : xmodemq ") + t.synopsis + "\n\n" + t.what + "\n\nOptions :\n" +
         t.options + "\nOptions générales :\n" + kGeneralOptions + "\nExemple :\n" + t.example +
         "\n\nCodes de sortie : voir « xmodemq --help ».\n";
}

const Topic* FindTopic(Command command) {
  static const Topic kTopics[] = {
      {Command::Send, "send FICHIER... --user ID [OPTIONS]",
       "Envoie FICHIER au serveur, qui le range sous son nom sans dossier ni\n"
       "extension ; plusieurs fichiers partent dans l'ordre sur un seul appel.",
       std::string(kLineOptions) + kPad + kAgain + kJournalOptions + kPasswordNote,
       "  xmodemq send /data/FACT0001.TXT --user PS0001 --password-file ~/.mdp \\\n"
       "      --device /dev/ttyUSB0 --prefix 0"},
      {Command::Receive, "receive FICHIER... --user ID [OPTIONS]",
       "Reçoit FICHIER du serveur dans un fichier partiel (.xmodemq-partiel/ à\n"
       "côté de FICHIER), renommé en FICHIER à la fin ; relancée après une\n"
       "coupure, reprend après les blocs déjà reçus. Plusieurs fichiers : un seul\n"
       "appel, dans l'ordre, arrêt au premier échec.",
       std::string(kLineOptions) + kReplace + kResume + kJournalOptions + kPasswordNote,
       "  xmodemq receive /data/RETOUR01.TXT --user PS0001 --password-file ~/.mdp \\\n"
       "      --device rfc2217://ts1.example:2001"},
      {Command::Pack, "pack SOURCE COMPACTÉ",
       "Compacte SOURCE dans COMPACTÉ, écrit dans un fichier temporaire renommé\n"
       "à la fin.",
       kPackOptions, "  xmodemq pack FACT0001.TXT FACT0001.PK"},
      {Command::Unpack, "unpack COMPACTÉ CIBLE",
       "Décompacte COMPACTÉ dans CIBLE, écrit dans un fichier temporaire renommé\n"
       "à la fin.",
       kPackOptions, "  xmodemq unpack FACT0001.PK FACT0001.TXT"},
      {Command::Simulate, "simulate --link CHEMIN | --listen HÔTE:PORT [OPTIONS]",
       "Un modem et un serveur simulés, sur un pseudo-terminal dont CHEMIN est le\n"
       "lien symbolique, ou derrière un serveur de ports série (RFC 2217) que les\n"
       "clients joignent par --device rfc2217://HÔTE:PORT. Sert appel après appel\n"
       "jusqu'à SIGINT, SIGTERM ou SIGHUP.",
       kSimulateOptions,
       "  xmodemq simulate --link /tmp/modem --accounts ~/.comptes &\n"
       "  XMODEMQ_PASSWORD=x xmodemq send FACT0001.TXT --user PS0001 --device /tmp/modem"},
      {Command::Demo, "demo [--dir DOSSIER] [--records N]",
       "Démonstration complète sur le simulateur : appel, envoi, réception,\n"
       "coupure et reprise, compactage, comparaison des copies, résumé.",
       kDemoOptions, "  xmodemq demo --records 64"},
      {Command::Journal, "journal [--since DATE] [--file NOM] [--json]",
       "Les transferts enregistrés, du plus ancien au plus récent : début,\n"
       "sens, blocs, résultat, code de sortie, fichier et, après un échec,\n"
       "pourquoi. Chaque envoi et chaque réception y a sa ligne.",
       kJournalListOptions, "  xmodemq journal --file FACT0001 --since 2024-05-02"},
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
  help [SOUS-COMMANDE]         cette aide, ou celle d'une sous-commande

Options de send et receive :
)") + kLineOptions +
         kPad + kReplace + kResume + kAgain + kJournalOptions + kPasswordNote +
         "\nOptions de pack et unpack :\n" + kPackOptions + "\nOptions de journal :\n" +
         kJournalListOptions + "\nOptions de simulate :\n" + kSimulateOptions +
         "\nOptions de demo :\n" + kDemoOptions + "\nOptions générales :\n" + kGeneralOptions +
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
         xmodemquarvel::kLibraryTitle + "\nNuméro du serveur : " + xmodemquarvel::kServerNumber +
         "\n";
}

}  // namespace xmodemq
