#include "commandline/OptionCatalogue.h"

#include <algorithm>
#include <charconv>

#include "terminal/Timestamps.h"

namespace xmodemq {
namespace {

using C = Command;

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

// "1M", "512k", "2Gio", "0": bytes, or kibibytes, mebibytes, gibibytes.
int64_t ParseSize(const std::string& option, const std::string& text) {
  static const std::pair<std::string_view, int64_t> kUnits[] = {{"", 1},
                                                                {"o", 1},
                                                                {"k", 1 << 10},
                                                                {"K", 1 << 10},
                                                                {"Kio", 1 << 10},
                                                                {"M", 1 << 20},
                                                                {"Mio", 1 << 20},
                                                                {"G", int64_t{1} << 30},
                                                                {"Gio", int64_t{1} << 30}};
  int64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  const std::string_view unit(ptr, static_cast<std::size_t>(end - ptr));
  for (const auto& [name, bytes] : kUnits)
    if (ec == std::errc() && ptr != text.data() && value >= 0 && value <= 1'000'000'000 &&
        unit == name)
      return value * bytes;
  throw UsageError(option +
                   " attend une taille : un nombre d'octets, ou suivi de k, M ou G "
                   "(reçu « " +
                   text + " »)");
}

// A date of the journal's options, as a journal time (UTC).
std::string DateOption(const std::string& option, const std::string& text) {
  if (const auto utc = SinceToUtc(text)) return *utc;
  throw UsageError(option +
                   " attend une date ISO 8601 : 2024-05-02, 2024-05-02T09:30 ou "
                   "2024-05-02T09:30:00Z, ou today ou yesterday (reçu « " +
                   text + " »)");
}

const std::vector<C> kLine = {C::Send, C::Receive};
const std::vector<C> kSim = {C::Simulate};
const std::vector<C> kJsonOut = {C::Send,    C::Receive,  C::Pack,   C::Unpack,
                                 C::Journal, C::Exchange, C::Submit, C::FetchReturns};

}  // namespace

bool OptionSpec::AppliesTo(Command command) const {
  return commands.empty() || std::find(commands.begin(), commands.end(), command) != commands.end();
}

std::string_view OptionSpec::HelpFor(Command command) const {
  for (const OptionHelp& h : help)
    if (h.commands.empty() ||
        std::find(h.commands.begin(), h.commands.end(), command) != h.commands.end())
      return h.text;
  return help.empty() ? std::string_view() : help.front().text;
}

const std::vector<OptionGroup>& OptionGroups() {
  static const std::vector<OptionGroup> groups = {
      {"send et receive", kLine, "OPTIONS DE SEND ET RECEIVE"},
      {"pack et unpack", {C::Pack, C::Unpack}, "OPTIONS DE PACK ET UNPACK"},
      {"journal", {C::Journal}, "OPTIONS DE JOURNAL"},
      {"exchange", {C::Exchange}, "OPTIONS D'EXCHANGE"},
      {"submit", {C::Submit}, "OPTIONS DE SUBMIT"},
      {"fetch-returns", {C::FetchReturns}, "OPTIONS DE FETCH-RETURNS"},
      {"simulate", kSim, "OPTIONS DE SIMULATE"},
      {"demo", {C::Demo}, "OPTIONS DE DEMO"},
      {"générales", {}, "OPTIONS GÉNÉRALES"},
  };
  return groups;
}

// clang-format off
const std::vector<OptionSpec>& OptionCatalogue() {
  static const std::vector<OptionSpec> catalogue = {
      // send and receive: the server's side, then the line.
      {"--user", "", "ID", kLine, {{{}, "identifiant de l'utilisateur sur le serveur"}},
       [](Options& o, const std::string& v) { o.user = v; }},
      {"--pack-type", "", "C", kLine, {{{}, "type de compactage annoncé au serveur (défaut 0)"}},
       [](Options& o, const std::string& v) {
         if (v.size() != 1) throw UsageError("--pack-type attend un seul caractère");
         o.pack_type = v;
       }},
      {"--device", "", "CHEMIN", kLine,
       {{{}, "port série par son chemin (/dev/ttyUSB0, ...), ou ligne distante "
             "rfc2217://HÔTE:PORT (ajouter ?nomodemlines si elle n'a pas de lignes de "
             "modem) ; répétable : la première ligne libre sert ; sans --device ni --port : "
             "/dev/ttyS0"}},
       [](Options& o, const std::string& v) { o.devices.push_back(v); }},
      {"--port", "", "N", kLine,
       {{{}, "port série par son numéro, de 1 à 255 (N donne /dev/ttyS<N-1> ; défaut 1)"}},
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
      {"--settings", "", "TEXTE", kLine,
       {{{}, "vitesse,parité,bits,arrêt (défaut 9600,N,8,1)"}},
       [](Options& o, const std::string& v) { o.settings = v; }},
      {"--attempts", "", "N", kLine, {{{}, "nouveaux essais après le premier, pour chaque commande du modem (défaut 3 : "
             "4 essais ; 0 en donne 2) ; un BUSY fait attendre la réponse 105 s, selon les "
             "règles du modem"}},
       [](Options& o, const std::string& v) { o.attempts = ParseInt("--attempts", v, 0, 1000); }},
      {"--prefix", "", "TEXTE", kLine, {{{}, "préfixe de numérotation (par exemple 0)"}},
       [](Options& o, const std::string& v) { o.prefix = v; }},
      {"--init", "", "TEXTE", kLine, {{{}, "chaîne d'initialisation du modem"}},
       [](Options& o, const std::string& v) { o.init = v; }},
      {"--password-file", "", "FICHIER", kLine,
       {{{}, "lit le mot de passe dans FICHIER (première ligne)"}},
       [](Options& o, const std::string& v) { o.password_file = v; }},
      {"--trace", "", "", {C::Send, C::Receive, C::Demo},
       {{kLine, "affiche le dialogue avec le modem et la trace"},
        {{C::Demo}, "affiche aussi la trace"}},
       [](Options& o, const std::string&) { o.trace = true; }},
      {"--pad", "", "", {C::Send},
       {{{}, "envoie une copie complétée par des espaces d'un fichier dont la taille n'est "
             "pas un multiple de la taille d'un enregistrement"}},
       [](Options& o, const std::string&) { o.pad = true; }},
      {"--replace", "", "", {C::Receive, C::Pack, C::Unpack},
       {{{C::Receive}, "remplace FICHIER s'il existe, une fois la réception terminée"},
        {{}, "remplace la cible si elle existe, une fois le nouveau fichier complet"}},
       [](Options& o, const std::string&) { o.replace = true; }},
      {"--partial-max-age", "", "DURÉE", {C::Receive},
       {{{}, "reprend sans un mot un fichier partiel plus jeune que DURÉE (défaut 24h ; s, "
             "min, h, j)"}},
       [](Options& o, const std::string& v) {
         o.partial_max_age = ParseDuration("--partial-max-age", v);
       }},
      {"--min-free", "", "TAILLE", {C::Receive},
       {{{}, "refuse avant l'appel quand le système de fichiers de FICHIER a moins de TAILLE "
             "libre (défaut 1M ; k, M, G ; 0 : aucun contrôle)"}},
       [](Options& o, const std::string& v) { o.min_free = ParseSize("--min-free", v); }},
      {"--resume-old", "", "", {C::Receive},
       {{{}, "reprend un fichier partiel quels que soient son âge et son origine"}},
       [](Options& o, const std::string&) { o.resume_old = true; }},
      {"--again", "", "", {C::Send, C::Submit},
       {{{C::Submit}, "dépose même un fichier déjà déposé sous ce nom avec ce contenu pour ce "
                      "compte"},
        {{}, "envoie même un fichier que le journal dit déjà envoyé, sous le même nom, au "
             "même serveur, pour le même utilisateur"}},
       [](Options& o, const std::string&) { o.again = true; }},
      {"--ask-server", "", "", {C::Send},
       {{{}, "envoie un fichier dont le dernier envoi a une issue inconnue, après avoir vérifié "
             "que ce que le serveur en détient est ce que dit le journal"}},
       [](Options& o, const std::string&) { o.ask_server = true; }},
      {"--skip-sent", "", "", {C::Send},
       {{{}, "n'envoie pas les fichiers que le journal dit déjà envoyés, et envoie les "
             "autres"}},
       [](Options& o, const std::string&) { o.skip_sent = true; }},
      {"--journal", "", "FICHIER", {C::Send, C::Receive, C::Journal},
       {{kLine, "le journal des transferts (défaut : variable XMODEMQ_JOURNAL, sinon "
                "$XDG_STATE_HOME/xmodemq/journal.sqlite, sinon "
                "~/.local/state/xmodemq/journal.sqlite)"},
        {{C::Journal}, "un autre journal que celui par défaut"}},
       [](Options& o, const std::string& v) {
         if (v.empty()) throw UsageError("--journal attend le chemin du journal");
         o.journal_path = v;
       }},
      {"--no-journal", "", "", kLine, {{{}, "ni journal, ni garde contre un second envoi"}},
       [](Options& o, const std::string&) { o.no_journal = true; }},
      {"--json", "", "", kJsonOut,
       {{kLine, "un objet JSON par fichier sur la sortie standard, à la fin de son "
                "transfert, et rien d'autre"},
        {{C::Journal}, "un objet JSON par transfert et par ligne"},
        {{C::Exchange}, "un objet JSON par échange sur la sortie standard, quelle qu'en soit "
                        "l'issue, et rien d'autre"},
        {{}, "un objet JSON sur la sortie standard à la fin"}},
       [](Options& o, const std::string&) { o.json = true; }},
      // pack and unpack.
      {"--force", "", "", {C::Unpack},
       {{{}, "décompacte même un fichier qui n'a pas l'air compacté"}},
       [](Options& o, const std::string&) { o.force = true; }},
      {"--verify", "", "", {C::Unpack},
       {{{}, "recompacte chaque bloc pour le comparer, au lieu d'un échantillon"}},
       [](Options& o, const std::string&) { o.verify = true; }},
      // journal.
      {"--since", "", "DATE", {C::Journal},
       {{{}, "depuis DATE (ISO 8601 : 2024-05-02, 2024-05-02T09:30, 2024-05-02T09:30:00Z ; "
             "ou today, yesterday : depuis minuit)"}},
       [](Options& o, const std::string& v) { o.since = DateOption("--since", v); }},
      {"--until", "", "DATE", {C::Journal},
       {{{}, "avant DATE (comme --since)"}},
       [](Options& o, const std::string& v) { o.until = DateOption("--until", v); }},
      {"--lines", "-n", "N", {C::Journal},
       {{{}, "les N derniers transferts seulement"}},
       [](Options& o, const std::string& v) { o.lines = ParseInt("--lines", v, 0, INT32_MAX); }},
      {"--no-pager", "", "", {C::Journal},
       {{{}, "sur un terminal, sans pager (défaut : $PAGER, sinon less -FRX)"}},
       [](Options& o, const std::string&) { o.no_pager = true; }},
      {"--file", "", "NOM", {C::Journal},
       {{{}, "les transferts de NOM (nom du fichier ou nom pour le serveur)"}},
       [](Options& o, const std::string& v) { o.file_name = v; }},
      // exchange.
      {"--profile", "", "FICHIER", {C::Exchange, C::Submit, C::FetchReturns},
       {{{}, "le profil de l'échange (xmodemq-exchange.toml(5))"}},
       [](Options& o, const std::string& v) {
         if (v.empty()) throw UsageError("--profile attend le chemin du profil");
         o.profile = v;
       }},
      {"--check", "", "", {C::Exchange},
       {{{}, "vérifie le profil et dit ce que ferait un échange, sans appeler"}},
       [](Options& o, const std::string&) { o.check = true; }},
      {"--now", "", "", {C::Exchange},
       {{{}, "appelle tout de suite, hors des fenêtres d'appel du profil"}},
       [](Options& o, const std::string&) { o.now = true; }},
      {"--resume-calls", "", "", {C::Exchange},
       {{{}, "reprend les appels arrêtés par un refus du compte ou du mot de passe "
             "(status 2 ou 3), une fois corrigé"}},
       [](Options& o, const std::string&) { o.resume_calls = true; }},
      // simulate.
      {"--link", "", "CHEMIN", kSim,
       {{{}, "lien symbolique vers le pseudo-terminal ; refusé tant qu'un autre simulateur "
             "le sert"}},
       [](Options& o, const std::string& v) { o.simulator.link = v; }},
      {"--listen", "", "HÔTE:PORT", kSim,
       {{{}, "ou : écoute en RFC 2217 sur HÔTE:PORT, port de 1 à 65535 (0 : un port libre, "
             "annoncé au démarrage)"}},
       [](Options& o, const std::string& v) { o.simulator.listen = v; }},
      {"--allow-remote", "", "", kSim,
       {{{}, "permet d'écouter ailleurs que sur la boucle locale (127.0.0.1, ::1) : la ligne "
             "n'a aucune authentification"}},
       [](Options& o, const std::string&) { o.simulator.allow_remote = true; }},
      {"--idle-timeout", "", "SECONDES", kSim,
       {{{}, "coupe un client TCP resté SECONDES secondes sans rien envoyer ni recevoir "
             "(défaut 600)"}},
       [](Options& o, const std::string& v) {
         o.simulator.idle_timeout_seconds = ParseInt("--idle-timeout", v, 1, 86'400);
       }},
      {"--echo", "", "on|off", kSim, {{{}, "écho des commandes par le modem (défaut on)"}},
       [](Options& o, const std::string& v) {
         if (v != "on" && v != "off") throw UsageError("--echo attend on ou off");
         o.simulator.echo = v == "on";
       }},
      {"--dial-answer", "", "TEXTE", kSim,
       {{{}, "réponses à un appel, séparées par des virgules (\"BUSY,CONNECT 9600\", \"NO "
             "DIALTONE\", \"\" = silence) ; répétable : une par appel, la dernière sert "
             "ensuite"}},
       [](Options& o, const std::string& v) {
         o.simulator.dial_answers.push_back(SplitAnswers(v));
       }},
      {"--status", "", "N", kSim, {{{}, "statut de la réponse du serveur (0 accepte)"}},
       [](Options& o, const std::string& v) {
         o.simulator.status = ParseInt("--status", v, 0, 255);
       }},
      {"--resume", "", "N", kSim, {{{}, "position de reprise annoncée à un envoi (blocs)"}},
       [](Options& o, const std::string& v) {
         o.simulator.resume = ParseInt("--resume", v, 0, 16'777'215);
       }},
      {"--resume-sends", "", "", kSim, {{{}, "un envoi reprend après les blocs reçus d'un envoi inachevé"}},
       [](Options& o, const std::string&) { o.simulator.resume_sends = true; }},
      {"--accounts", "", "FICHIER", kSim,
       {{{}, "utilisateurs connus, un UTILISATEUR:MOT_DE_PASSE par ligne ; sans : tous "
             "admis"}},
       [](Options& o, const std::string& v) { o.simulator.accounts_file = v; }},
      {"--store", "", "DOSSIER", kSim,
       {{{}, "dossier des fichiers reçus et servis, rangés sous leur nom sans extension "
             "(défaut : un dossier privé créé au démarrage, annoncé, supprimé à l'arrêt) ; "
             "un nom qui commence par un point ou contient un chemin n'est jamais reçu ni "
             "servi"}},
       [](Options& o, const std::string& v) { o.simulator.store_dir = v; }},
      {"--serve", "", "FICHIER", kSim,
       {{{}, "copie FICHIER dans le dossier, prêt à être servi sous son nom sans extension ; "
             "répétable"}},
       [](Options& o, const std::string& v) { o.simulator.serve_files.push_back(v); }},
      {"--baud", "", "N", kSim, {{{}, "cadence la ligne à N bits par seconde"}},
       [](Options& o, const std::string& v) {
         o.simulator.baud = ParseInt("--baud", v, 0, 4'000'000);
       }},
      {"--cut-after", "", "N", kSim,
       {{{}, "coupe la ligne une fois, au cours d'un appel, après N trames : celles du "
             "serveur pour une réception, ses acquittements pour un envoi (sa réponse à "
             "l'ouverture compte pour une)"}},
       [](Options& o, const std::string& v) {
         o.simulator.cut_after_frames = ParseInt("--cut-after", v, 0, INT32_MAX);
       }},
      {"--fault", "", "NOM[=VALEUR]", kSim,
       {{{}, "panne injectée dans le serveur, répétable (P : une probabilité de 0 à 1, "
             "tirée pour chaque message) : seed=N graine des tirages (défaut 1) ; noise=P "
             "de 1 à noise-max=N octets parasites (défaut 6) devant un message ; drop=P un "
             "octet perdu dans un ACK, NAK ou EOT, et dans les trames avec drop-in-frames ; "
             "corrupt=P un octet changé dans une trame ; corrupt-frame=N la N-ième trame de "
             "chaque réception part une fois avec une somme fausse ; repeat-frame=N elle "
             "part deux fois de suite ; report-offset=N ajouté au compte du compte rendu de "
             "chaque envoi ; eot-for-response, eot-for-report : EOT au lieu de la réponse à "
             "l'ouverture, ou du compte rendu, à chaque transfert ; silent-after=N plus rien "
             "après N messages de chaque appel ; line-loss=N ligne perdue après la N-ième "
             "trame de chaque transfert, dans les deux sens"}},
       [](Options& o, const std::string& v) { o.simulator.faults.push_back(v); }},
      // demo.
      {"--dir", "", "DOSSIER", {C::Demo}, {{{}, "garde les fichiers dans DOSSIER"}},
       [](Options& o, const std::string& v) { o.demo_dir = v; }},
      {"--records", "", "N", {C::Demo},
       {{{}, "nombre d'enregistrements du fichier (défaut 400)"}},
       [](Options& o, const std::string& v) {
         o.demo_records = ParseInt("--records", v, 1, 100'000);
       }},
      // Every subcommand.
      {"--progress", "", "", {}, {{{}, "progression en lignes simples"}},
       [](Options& o, const std::string&) { o.progress = true; }},
      {"--quiet", "-q", "", {}, {{{}, "aucune progression"}},
       [](Options& o, const std::string&) { o.quiet = true; }},
      {"--help", "-h", "", {}, {{{}, "l'aide (après une sous-commande : la sienne)"}}},
      {"--version", "-V", "", {}, {{{}, "la version"}}},
      {"--", "", "", {}, {{{}, "la suite n'est faite que de noms de fichiers"}}},
  };
  return catalogue;
}
// clang-format on

const OptionSpec* FindOption(std::string_view name) {
  for (const OptionSpec& option : OptionCatalogue())
    if (option.name == name || (!option.short_name.empty() && option.short_name == name))
      return &option;
  return nullptr;
}

}  // namespace xmodemq
