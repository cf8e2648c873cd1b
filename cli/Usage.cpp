#include "Usage.h"

#include "modem/ServerNumber.h"
#include "xmodemquarvel/Version.h"

namespace xmodemq {

std::string UsageText() {
  return R"(Utilisation : xmodemq SOUS-COMMANDE [OPTIONS] [FICHIERS]

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
  help                         cette aide

Options de send et receive :
  --user ID               identifiant de l'utilisateur sur le serveur
  --pack-type C           type de compactage annoncé au serveur (défaut 0)
  --device CHEMIN         port série par son chemin (/dev/ttyUSB0, ...), ou
                          ligne distante rfc2217://HÔTE:PORT (ajouter
                          ?nomodemlines si elle n'a pas de lignes de modem) ;
                          répétable : la première ligne libre sert
  --port N                port série par son numéro (N donne /dev/ttyS<N-1>)
  --settings TEXTE        vitesse,parité,bits,arrêt (défaut 9600,N,8,1)
  --attempts N            tentatives par commande du modem (défaut 3)
  --prefix TEXTE          préfixe de numérotation (par exemple 0)
  --init TEXTE            chaîne d'initialisation du modem
  --password-file FICHIER lit le mot de passe dans FICHIER (première ligne)
  --trace                 affiche le dialogue avec le modem et la trace
  --pad                   (send) envoie une copie complétée par des espaces
                          d'un fichier dont la taille n'est pas un multiple
                          de 128 octets
  --replace               (receive) remplace FICHIER s'il existe, une fois la
                          réception terminée
  --partial-max-age DURÉE (receive) reprend sans un mot un fichier partiel
                          plus jeune que DURÉE (défaut 24h ; s, min, h, j)
  --resume-old            (receive) reprend un fichier partiel quels que
                          soient son âge et son origine
  --again                 (send) envoie même un fichier que le journal dit
                          déjà envoyé, sous le même nom, au même serveur,
                          pour le même utilisateur
  --journal FICHIER       le journal des transferts (défaut : variable
                          XMODEMQ_JOURNAL, sinon $XDG_STATE_HOME ou
                          ~/.local/state, /xmodemq/journal.sqlite)
  --no-journal            ni journal, ni garde contre un second envoi
  --json                  un objet JSON par fichier sur la sortie standard,
                          à la fin de son transfert

  Le mot de passe vient de --password-file, sinon de la variable
  XMODEMQ_PASSWORD, sinon d'une saisie sans écho au terminal. Il n'est jamais
  accepté en argument.

Options de pack et unpack :
  --replace               remplace la cible si elle existe, une fois le
                          nouveau fichier complet
  --force                 (unpack) décompacte même un fichier qui n'a pas
                          l'air compacté
  --json                  un objet JSON sur la sortie standard à la fin

Options de simulate :
  --link CHEMIN           lien symbolique vers le pseudo-terminal
  --listen HÔTE:PORT      ou : écoute en RFC 2217 sur HÔTE:PORT (port 0 :
                          un port libre, annoncé au démarrage)
  --echo on|off           écho des commandes par le modem (défaut on)
  --dial-answer TEXTE     réponses à un appel, séparées par des virgules
                          ("BUSY,CONNECT 9600", "NO DIALTONE", "" = silence) ;
                          répétable : une par appel, la dernière sert ensuite
  --status N              statut de la réponse du serveur (0 accepte)
  --resume N              position de reprise annoncée à un envoi (blocs)
  --resume-sends          un envoi reprend après les blocs déjà reçus
  --account UTIL:MDP      utilisateur connu (répétable) ; sans : tous admis
  --store DOSSIER         dossier des fichiers reçus et servis (défaut .),
                          rangés sous leur nom sans extension
  --serve FICHIER         copie FICHIER dans le dossier, prêt à être servi
  --baud N                cadence la ligne à N bits par seconde
  --cut-after N           coupe la ligne une fois après N trames de données
  --fault NOM[=VALEUR]    panne injectée dans le serveur (répétable) :
                          seed=N noise=P noise-max=N drop=P drop-in-frames
                          corrupt=P corrupt-frame=N repeat-frame=N
                          report-offset=N eot-for-response eot-for-report
                          silent-after=N line-loss=N

Options de journal :
  --since DATE            depuis DATE (ISO 8601 : 2024-05-02,
                          2024-05-02T09:30, 2024-05-02T09:30:00Z)
  --file NOM              les transferts de NOM (nom du fichier ou nom pour
                          le serveur)
  --json                  un objet JSON par transfert et par ligne
  --journal FICHIER       un autre journal

Options de demo :
  --dir DOSSIER           garde les fichiers dans DOSSIER
  --records N             nombre d'enregistrements du fichier (défaut 400)
  --trace                 affiche aussi la trace

Options générales :
  --progress              progression en lignes simples
  -q, --quiet             aucune progression
  -h, --help              cette aide
  -V, --version           la version
  --                      la suite n'est faite que de noms de fichiers

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
Voir « xmodemq --help ».
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
