// Rows about the journal: a row per transfer, never twice, a server's resume
// checked, where the journal lives and a journal that cannot serve.

#include <cerrno>

#include <gtest/gtest.h>

#include "CommandTable.h"
#include "journal/JournalSchema.h"
#include "journal/Sqlite.h"
#include "modem/ServerNumber.h"

namespace xmodemq::test {
namespace {

// `args` run with a journal that fills the disk once `bytes` are written to its log.
std::vector<std::string> Full(int bytes, std::vector<std::string> args) {
  args.insert(args.begin(),
              {"/usr/bin/env", "LD_PRELOAD=" XMQ_FAIL_SHIM,
               "XMQ_FAIL_WRITE=journal.sqlite-wal:" + std::to_string(bytes), XMODEMQ_PATH});
  return args;
}

// Write limits of the journal's log for a send of 20 or 60 blocks whose start, whose mark of
// its last block held, or whose end cannot be written (measured: the writes before them).
constexpr int kStartFails = 18000;
constexpr int kMarkFails = 22000;
constexpr int kEndFails = 26000;

// The first column of the first row that `sql` gives in the SQLite file `path`.
std::string Query(const fs::path& path, const char* sql) {
  const Database db(path.string(), SQLITE_OPEN_READONLY);
  Statement statement(db, sql);
  return statement.Step() ? statement.Text(0) : "(no row)";
}

// A journal of the first schema, as an earlier xmodemq left it, holding one send.
void FirstSchemaJournal(const fs::path& path) {
  Database db(path.string(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  MigrateSchema(db, 1);
  db.Execute(
      "INSERT INTO transfers(call_id, started, direction, file, server_name, server_key, server, "
      "user, line, blocks, result, pid, process) VALUES('c', '2024-05-02T07:00:00Z', 'send', "
      "'/data/F.TXT', 'F', 'F', '0199001234', 'PS0001', '/dev/ttyS0', 3, 'rvTrue', 1, 'x')");
}

}  // namespace

std::vector<Row> JournalRows() {
  const std::string odd = kBill.substr(0, 40 * 128 + 16);
  return {
      // clang-format off
      // The journal: a row per transfer, written before its opening, completed at its end.
      // Its name escaped, and read back by a strict parser (SQLite's JSON functions).
      {.what = "a send recorded, its object on stdout and nothing else",
       .files = {{"q\"\\é/FACT0001.TXT", kBill}},
       .args = {"send", "LINE", "D/q\"\\é/FACT0001.TXT", "--json", "--progress"},
       .status = 0,
       .said = {"bloc 60/60"},
       .left = {{"q\"\\é/", ""}, {"q\"\\é/FACT0001.TXT", kBill}, {"store/FACT0001", kBill}},
       .json = {{{{"id", "1"}, {"direction", Q("send")}, {"file", Q("D/q\"\\é/FACT0001.TXT")}, {"server_name", Q("FACT0001")}, {"server", Q(xmodemquarvel::kServerNumber)}, {"user", Q("PS0001")}, {"line", Q("D/modem")}, {"bytes", "7680"}, {"blocks", "60"}, {"sha256", Q(Sha256Of(kBill))}, {"resumed_from", "0"}, {"result", Q("rvTrue")}, {"description", Q("")}, {"exit_status", "0"}, {"started", "*"}, {"ended", "*"}, {"call_id", "*"}}}}},
      {.what = "a batch of receives on stdout, one call, and the journal readable by sqlite3",
       .files = {{"store/FACT0001", kBill20}, {"store/FACT0003", kBill}, {"j/", ""}},
       .args = {"receive", "LINE", "D/FACT0001.TXT", "D/FACT0003.TXT", "--json", "-q"},
       .status = 0,
       .left = {{"j/", "*"}, {"FACT0001.TXT", kBill20}, {"FACT0003.TXT", kBill}, {"store/FACT0001", kBill20}, {"store/FACT0003", kBill}},
       .env = {{"XMODEMQ_JOURNAL", "D/j/journal.sqlite"}},
       .check =
           [](const Outcome& r, const fs::path& d) {
             const auto objects = ParseJsonLines(r.out);
             ASSERT_TRUE(objects && objects->size() == 2) << r.out;
             EXPECT_EQ(objects->front().at("call_id"), objects->back().at("call_id"));
             const Outcome sqlite = Process({"/usr/bin/sqlite3", (d / "j/journal.sqlite").string(), "SELECT server_name, result, blocks FROM transfers ORDER BY id"}).Wait(30s);
             if (sqlite.status == 127 && !std::getenv("CI")) return;
             EXPECT_EQ(sqlite.out, "FACT0001|rvTrue|20\nFACT0003|rvTrue|60\n") << sqlite.All();
           },
       .json = {{{{"file", Q("D/FACT0001.TXT")}, {"blocks", "20"}, {"bytes", "2560"}, {"sha256", Q(Sha256Of(kBill20))}}, {{"file", Q("D/FACT0003.TXT")}, {"blocks", "60"}, {"sha256", Q(Sha256Of(kBill))}, {"result", Q("rvTrue")}}}}},
      {.what = "pack and unpack on stdout",
       .files = {{"FACT.TXT", odd}},
       .args = {"pack", "D/FACT.TXT", "D/FACT.PK", "--json"},
       .status = 0,
       .left = {{"FACT.TXT", odd}, {"FACT.PK", Packed(odd)}, {"OUT", odd + std::string(112, ' ')}},
       .then = {{{"unpack", "D/FACT.PK", "D/OUT", "--json"}, 0, {"\"operation\":\"unpack\",\"source\":\"", "\"source_blocks\":" + std::to_string((Packed(odd).size() + 127) / 128) + ",\"target_bytes\":5248,\"target_blocks\":41,\"exit_status\":0"}}},
       .json = {{{{"operation", Q("pack")}, {"source", Q("D/FACT.TXT")}, {"target", Q("D/FACT.PK")}, {"source_bytes", std::to_string(odd.size())}, {"source_blocks", "41"}, {"target_bytes", std::to_string(Packed(odd).size())}, {"exit_status", "0"}, {"description", Q("")}}}}},
      {.what = "a receive killed by SIGKILL, shown interrupted, then resumed",
       .simulator = {"--baud", "19200"},
       .files = {{"store/FACT0002", kBill}, {"j/", ""}},
       .args = {"receive", "LINE", "D/FACT0002.TXT", "--progress"},
       .status = 128 + SIGKILL,
       .left = {{"FACT0002.TXT", kBill}, {"store/FACT0002", kBill}, {"j/", "*"}},
       .env = {{"XMODEMQ_JOURNAL", "D/j/journal.sqlite"}},
       .during = [](Process& client, const fs::path&, Simulator*) { client.Signal(SIGKILL); },
       // The next writer records the end it settled.
       .check = [](const Outcome&, const fs::path& d) { EXPECT_EQ(Query(d / "j/journal.sqlite", "SELECT group_concat(result) FROM transfers"), "interrupted,rvTrue"); },
       .then = {{{"journal"}, 0, {"réception", "FACT0002", "interrompu", "FACT0002.TXT"}},
                {{"receive", "LINE", "D/FACT0002.TXT"}, 0, {"Reprise après l", " déjà reçu"}}},
       .json = {{{{"result", Q("interrupted")}, {"ended", "null"}, {"exit_status", "null"}, {"blocks", "null"}}, {{"result", Q("rvTrue")}, {"resumed_from", "*"}, {"sha256", Q(Sha256Of(kBill))}}}}},
      // Never twice: refused before dialling, the whole batch, whatever spelling of the user id
      // the server reads as the same; --again sends it all the same, and its row says so.
      {.what = "a file sent again, alone or in a batch",
       .files = {{"FACT0001.TXT", kBill}, {"FACT0002.TXT", kBill20}},
       .args = {"send", "LINE", "D/FACT0001.TXT"},
       .status = 0,
       .left = {{"FACT0001.TXT", kBill}, {"FACT0002.TXT", kBill20}, {"store/FACT0001", kBill}, {"store/FACT0002", kBill20}},
       .env = {{"PAGER", "sed s/^/page:/"}},
       .dials = 3,
       .then = {{{"send", "LINE", "D/FACT0002.TXT", "D/FACT0001.TXT", "--json"}, 2, {"FACT0001.TXT a déjà été envoyé le 20", "(« FACT0001 », même contenu, utilisateur PS0001)", "Rien n'est envoyé : un fichier ne part pas deux fois", "--again l'envoie quand même", "!FACT0002.TXT a déjà"}},
                {{"send", "D/FACT0001.TXT", "--user", "PS0001  ", "--device", "D/modem"}, 2, {"FACT0001.TXT a déjà été envoyé le 20"}},
                {{"send", "LINE", "D/FACT0002.TXT", "D/FACT0001.TXT", "--again"}, 0, {"FACT0002.TXT envoyé", "FACT0001.TXT envoyé"}},
                {{"send", "LINE", "D/FACT0001.TXT", "--user", "PS0002"}, 0, {"FACT0001.TXT envoyé"}},
                {{"journal", "--file", "FACT0002.TXT"}, 0, {"FACT0002", "!FACT0001"}},
                {{"journal", "--since", "2999-01-01"}, 0, {"Aucun transfert dans le journal"}},
                {{"journal", "--since", "hier"}, 2, {"--since attend une date ISO 8601"}},
                {{"journal", "--since", "yesterday", "-n", "1"}, 0, {"FACT0001.TXT", "!FACT0002"}},
                {{"journal", "--since", "today", "--until", "2000-01-01"}, 0, {"Aucun transfert dans le journal"}},
                // On a terminal, through $PAGER, as git log does; --no-pager goes without.
                {{"/usr/bin/script", "-qec", XMODEMQ_PATH " journal", "/dev/null"}, 0, {"page:Début"}},
                {{"/usr/bin/script", "-qec", XMODEMQ_PATH " journal --no-pager", "/dev/null"}, 0, {"Début", "!page:"}}},
       .json = {{{{"file", Q("D/FACT0001.TXT")}, {"user", Q("PS0001")}}, {{"file", Q("D/FACT0002.TXT")}, {"again", "false"}}, {{"file", Q("D/FACT0001.TXT")}, {"result", Q("rvTrue")}, {"again", "true"}}, {{"user", Q("PS0002")}, {"result", Q("rvTrue")}}}}},
      // A server's resume of a send, checked against the journal, for the account as the server sees it.
      {.what = "a send cut, then another version of the file stopped before any data, then the same version resumed",
       .simulator = {"--resume-sends", "--fault", "line-loss=20"},
       .files = {{"FACT0007.TXT", kBill.substr(0, 30 * 128)}, {"v2/FACT0007.TXT", BillingFile(30, 12)}, {"j/", ""}},
       .args = {"send", "LINE", "D/FACT0007.TXT"},
       .status = 3,
       .left = {{"FACT0007.TXT", kBill.substr(0, 30 * 128)}, {"v2/", ""}, {"v2/FACT0007.TXT", BillingFile(30, 12)}, {"store/FACT0007", kBill.substr(0, 30 * 128)}, {"j/", "*"}},
       .env = {{"XMODEMQ_JOURNAL", "D/j/journal.sqlite"}},
       // Once the file went whole, no digest of its blocks is kept, nor of the versions before it.
       .check = [](const Outcome&, const fs::path& d) { EXPECT_EQ(Query(d / "j/journal.sqlite", "SELECT count(*) FROM send_prefixes"), "0"); },
       .then = {{{"send", "D/v2/FACT0007.TXT", "--user", "PS0001 ", "--device", "D/modem"}, 1, {"Le serveur détient déjà 20 blocs de FACT0007", "xmodemq: le serveur détient 20 blocs d'une autre version de FACT0007 que ", "v2/FACT0007.TXT (celle envoyée le ", "L'envoi est arrêté avant toute donnée. Faites supprimer FACT0007 du serveur", "!envoyé (", "!Le journal confirme"}},
                // The refused send moved nothing: the server still holds the first version's blocks.
                {{"send", "LINE", "D/FACT0007.TXT"}, 0, {"Le serveur détient déjà 20 blocs de FACT0007 : l'envoi reprend après eux.", "Le journal confirme que ce sont les 20 blocs de FACT0007 envoyés le ", "envoyé (repris après 20 blocs) : 10 blocs", "!attention"}}},
       // The server may hold a block whose acknowledgement the cut line lost.
       .json = {{{{"result", Q("rvCTS")}, {"blocks", "*"}, {"exit_status", "3"}}, {{"file", Q("D/v2/FACT0007.TXT")}, {"result", Q("rvFalse")}, {"resumed_from", "20"}, {"blocks", "0"}, {"exit_status", "1"}, {"description", Q("le serveur détient une autre version de FACT0007")}}, {{"result", Q("rvTrue")}, {"resumed_from", "20"}, {"blocks", "10"}}}}},
      {.what = "a file sent whole, then a changed one, then a longer one of the same beginning",
       .simulator = {"--resume-sends"},
       .files = {{"FACT0001.TXT", kBill20}, {"v2/FACT0001.TXT", BillingFile(20, 12)}, {"v3/FACT0001.TXT", kBill}},
       .args = {"send", "LINE", "D/FACT0001.TXT"},
       .status = 0,
       .left = {{"FACT0001.TXT", kBill20}, {"v2/", ""}, {"v2/FACT0001.TXT", BillingFile(20, 12)}, {"v3/", ""}, {"v3/FACT0001.TXT", kBill}, {"store/FACT0001", kBill}},
       // A server that keeps the blocks of a file it took in, as if its send had not ended (the
       // simulator's store file made writable again): a changed file is refused, a longer one of
       // the same beginning resumes.
       .then = {{{"/bin/chmod", "0600", "D/store/FACT0001"}, 0},
                {{"send", "LINE", "D/v2/FACT0001.TXT"}, 1, {"d'une autre version de FACT0001"}},
                {{"send", "LINE", "D/v3/FACT0001.TXT"}, 0, {"Le journal confirme que ce sont les 20 blocs", "repris après 20 blocs) : 40 blocs"}}},
       .json = {{{{"result", Q("rvTrue")}}, {{"result", Q("rvFalse")}}, {{"result", Q("rvTrue")}, {"resumed_from", "20"}}}}},
      // Where the journal is, and a journal that cannot serve: refused before the call.
      {.what = "the journal under XDG_STATE_HOME, its folders made 0700, the file 0600",
       .files = {{"FACT0001.TXT", kBill20}, {"home/", ""}},
       .args = {"send", "LINE", "D/FACT0001.TXT"},
       .status = 0,
       .left = {{"FACT0001.TXT", kBill20}, {"store/FACT0001", kBill20}, {"home/", ""}, {"state/", "*"}},
       .env = {{"XMODEMQ_JOURNAL", std::nullopt}, {"HOME", "D/home"}, {"XDG_STATE_HOME", "D/state"}},
       // Read and written, nothing left beside it (no -shm nor -wal).
       .check = [](const Outcome&, const fs::path& d) { EXPECT_EQ(ReadTree(d / "state/xmodemq").size(), 1u); },
       .second_user = true,
       .umask = 0,
       .modes = {{"state", 0700}, {"state/xmodemq", 0700}, {"state/xmodemq/journal.sqlite", 0600}},
       .then = {{{"journal"}, 0, {"FACT0001.TXT"}}},
       .json = {{{{"result", Q("rvTrue")}}}}},
      {.what = "the journal under HOME",
       .files = {{"FACT0001.TXT", kBill20}, {"home/", ""}},
       .args = {"send", "LINE", "D/FACT0001.TXT"},
       .status = 0,
       .left = {{"FACT0001.TXT", kBill20}, {"store/FACT0001", kBill20}, {"home/", "*"}},
       .env = {{"XMODEMQ_JOURNAL", std::nullopt}, {"HOME", "D/home"}, {"XDG_STATE_HOME", "relatif"}},
       .modes = {{"home/.local/state/xmodemq", 0700}, {"home/.local/state/xmodemq/journal.sqlite", 0600}},
       .json = {{{{"result", Q("rvTrue")}}}}},
      {.what = "no HOME nor journal, then --no-journal", .files = {{"FACT0001.TXT", kBill20}}, .args = {"send", "LINE", "D/FACT0001.TXT"}, .status = 2, .said = {"aucun journal : ni --journal, ni XMODEMQ_JOURNAL, ni XDG_STATE_HOME, ni HOME", "--no-journal"}, .left = {{"FACT0001.TXT", kBill20}, {"store/FACT0001", kBill20}}, .env = {{"XMODEMQ_JOURNAL", std::nullopt}, {"HOME", std::nullopt}, {"XDG_STATE_HOME", std::nullopt}}, .dials = 1, .then = {{{"send", "LINE", "D/FACT0001.TXT", "--no-journal", "--json"}, 0, {"\"id\":null", "\"sha256\":\"" + Sha256Of(kBill20) + "\"", "\"result\":\"rvTrue\""}}}},
      {"a journal on a read-only file system", {}, {{"FACT0001.TXT", kBill20}}, {"send", "LINE", "D/FACT0001.TXT"}, 2, {"Impossible d'ouvrir le journal ", "journal.sqlite : système de fichiers en lecture seule", "--no-journal pour s'en passer"}, {{"=", ""}}, FailureEnv("journal.sqlite:" + std::to_string(EROFS))},
      {.what = "a journal in a folder that others can write", .files = {{"FACT0001.TXT", kBill20}, {"open/", ""}}, .args = {"send", "LINE", "D/FACT0001.TXT", "--journal", "D/open/j.sqlite"}, .status = 2, .said = {"le dossier ", "open du journal est modifiable par d'autres utilisateurs (mode 0777)"}, .setup = [](const fs::path& d) { fs::permissions(d / "open", fs::perms(0777)); }, .second_user = true},
      {.what = "a database address, but no HOME to keep outcomes in", .files = {{"FACT0001.TXT", kBill20}}, .args = {"send", "LINE", "D/FACT0001.TXT", "--journal", "postgresql://xmodemq:Pw-42x@/xmodemq?host=D/none"}, .status = 2, .said = {"ni XDG_STATE_HOME ni HOME ne disent où garder", "!Pw-42x", "!aucun journal"}, .env = {{"HOME", std::nullopt}, {"XDG_STATE_HOME", std::nullopt}}},
      {.what = "a mistyped database address, its password never shown", .files = {{"FACT0001.TXT", kBill20}}, .args = {"send", "LINE", "D/FACT0001.TXT", "--journal", "postgresq://xmodemq:Pw-42x@db/xmodemq"}, .status = 2, .said = {"est une adresse, mais pas celle d'une base PostgreSQL", "!Pw-42x"}},
      {.what = "a journal that is not one", .files = {{"FACT0001.TXT", kBill20}, {"notes", std::string(4096, 'n')}}, .args = {"send", "LINE", "D/FACT0001.TXT"}, .status = 2, .said = {"le journal ", "notes ne peut pas être ouvert : ce n'est pas un journal de xmodemq, ou il est abîmé"}, .env = {{"XMODEMQ_JOURNAL", "D/notes"}}, .setup = [](const fs::path& d) { fs::permissions(d / "notes", fs::perms(0600)); }},
      {.what = "a journal of a newer xmodemq", .files = {{"FACT0001.TXT", kBill20}}, .args = {"receive", "LINE", "D/F.TXT", "--journal", "D/new.sqlite"}, .status = 2, .said = {"new.sqlite a été écrit par une version plus récente de xmodemq (schéma 9, celle-ci connaît le 4) : mettez xmodemq à jour"}, .setup = [](const fs::path& d) { Database db((d / "new.sqlite").string(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE); db.Execute("PRAGMA user_version = 9"); fs::permissions(d / "new.sqlite", fs::perms(0600)); }},
      // A journal of the first schema, as an earlier xmodemq left it: brought
      // up to date, its rows kept, the next one numbered after them (a version
      // left unrecorded would fail the listing, which opens it again).
      {.what = "a journal of the first schema",
       .files = {{"FACT0001.TXT", kBill20}, {"j/", ""}},
       .args = {"send", "LINE", "D/FACT0001.TXT"},
       .status = 0,
       .left = {{"FACT0001.TXT", kBill20}, {"store/FACT0001", kBill20}, {"j/", "*"}},
       .env = {{"XMODEMQ_JOURNAL", "D/j/journal.sqlite"}},
       .setup = [](const fs::path& d) { FirstSchemaJournal(d / "j/journal.sqlite"); fs::permissions(d / "j/journal.sqlite", fs::perms(0600)); },
       // One that does not exist yet is listed empty, and not made.
       .then = {{{"journal", "--journal", "D/j/absent.sqlite"},
                 0,
                 {"Aucun transfert dans le journal ", "absent.sqlite (il n'existe pas encore)."}}},
       .json = {{{{"id", "1"}, {"file", Q("/data/F.TXT")}, {"blocks", "3"}, {"result", Q("rvTrue")}},
                 {{"id", "2"}, {"file", Q("D/FACT0001.TXT")}, {"result", Q("rvTrue")}}}}},
      // The listing only reads: a 0400 journal in a folder no one may write lists, its bytes and
      // its folder's entries unchanged; a database that is not a journal is refused, left as it is.
      {.what = "the listing changes nothing; another database is not a journal",
       .files = {{"FACT0001.TXT", kBill20}, {"j/", ""}},
       .args = {"journal"},
       .status = 0,
       .said = {"réussi", "/data/F.TXT"},
       .left = {{"FACT0001.TXT", kBill20}, {"j/", "*"}, {"before", "*"}, {"other.sqlite", "*"}},
       .env = {{"XMODEMQ_JOURNAL", "D/j/journal.sqlite"}},
       .check =
           [](const Outcome&, const fs::path& d) {
             EXPECT_TRUE(ReadTree(d / "j") == (Tree{{"journal.sqlite", ReadFile(d / "before")}})) << "the journal or its folder changed";
             EXPECT_EQ(Query(d / "other.sqlite", "SELECT (SELECT journal_mode FROM pragma_journal_mode) || (SELECT application_id FROM pragma_application_id)"), "delete0");
           },
       // A journal of an earlier xmodemq (schema 1, no mark), 0400 in a 0500 folder.
       .setup =
           [](const fs::path& d) {
             FirstSchemaJournal(d / "j/journal.sqlite");
             fs::copy_file(d / "j/journal.sqlite", d / "before");
             fs::permissions(d / "j/journal.sqlite", fs::perms(0400));
             fs::permissions(d / "j", fs::perms(0500));
             Database((d / "other.sqlite").string(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE).Execute("CREATE TABLE transfers(x)");
             fs::permissions(d / "other.sqlite", fs::perms(0600));
             GiveAway(d);
           },
       .second_user = true,
       .then = {{{"journal", "--journal", "D/other.sqlite"}, 2, {"other.sqlite n'est pas un journal de xmodemq (une autre base SQLite) : il est laissé tel quel"}},
                {{"send", "LINE", "D/FACT0001.TXT", "--journal", "D/other.sqlite"}, 2, {"other.sqlite n'est pas un journal de xmodemq"}},
                {{"/bin/chmod", "0700", "D/j"}, 0}},
       .json = {{{{"file", Q("/data/F.TXT")}, {"result", Q("rvTrue")}, {"again", "false"}}}}},
      {.what = "a HOME that others can write, for the default journal", .files = {{"FACT0001.TXT", kBill20}, {"home/", ""}}, .args = {"send", "LINE", "D/FACT0001.TXT"}, .status = 2, .said = {"home, au-dessus du journal, est modifiable par d'autres utilisateurs (mode 0777) : un autre que vous pourrait y remplacer le dossier du journal"}, .env = {{"XMODEMQ_JOURNAL", std::nullopt}, {"HOME", "D/home"}, {"XDG_STATE_HOME", std::nullopt}}, .setup = [](const fs::path& d) { fs::permissions(d / "home", fs::perms(0777)); }, .second_user = true},
      {"a journal that fills the disk as it opens", {}, {{"FACT0001.TXT", kBill20}}, {"send", "LINE", "D/FACT0001.TXT"}, 2, {"ne peut pas être ouvert : disque plein", "!entrée-sortie"}, {{"=", ""}}, FailureEnv("", "journal.sqlite-shm:0")},
      // A full disk: before the dial nothing goes; when the row of the start cannot be written,
      // nothing is sent; when the mark of the last block held cannot, the send stops before its
      // end, its row reads "interrompu" and the next send goes (here the server holds it all:
      // only its end goes); when its end cannot, the status says that the record is incomplete,
      // the row reads "issue inconnue" and the file goes again only as the server confirms it
      // (here it took the file in and holds nothing of it: nothing goes, not even its end).
      {.what = "a journal that fills the disk: before the dial, at the start, at the last block, at the end",
       .simulator = {"--resume-sends"},
       .files = {{"FACT0001.TXT", kBill20}, {"FACT0002.TXT", kBill}, {"FACT0003.TXT", kBill20}, {"FACT0004.TXT", kBill20}},
       .args = {"send", "LINE", "D/FACT0001.TXT"},
       .status = 0,
       .left = {{"FACT0001.TXT", kBill20}, {"FACT0002.TXT", kBill}, {"FACT0003.TXT", kBill20}, {"FACT0004.TXT", kBill20}, {"store/FACT0001", kBill20}, {"store/FACT0002", kBill}, {"store/FACT0003", kBill20}},
       .dials = 6,
       .logged = {"« FACT0001 » terminé, 20 trames", "envoi de « FACT0002 »", "!« FACT0002 » terminé, 60 trames", "« FACT0002 » terminé, 0 trames", "« FACT0003 » terminé, 20 trames", "!« FACT0003 » terminé, 0 trames", "« FACT0003 » par « PS0001 », reprise non, statut 0, position 0"},
       .then = {{Full(0, {"send", "LINE", "D/FACT0002.TXT"}), 2, {"ne peut pas être écrit : disque plein", "!Appel"}},
                {Full(kMarkFails, {"send", "LINE", "D/FACT0002.TXT"}), 1, {"disque plein : le serveur détient tous les blocs de FACT0002, mais le journal ne peut pas le noter. L'envoi est arrêté avant sa fin", "Sa ligne se lira « interrompu »", "!issue inconnue", "!envoyé"}},
                {{"journal"}, 0, {"envoi      -  interrompu  ", "/FACT0002.TXT\n"}},
                {{"send", "LINE", "D/FACT0002.TXT"}, 0, {"le fichier est déjà en entier sur le serveur, l'envoi est noté fait sans rien envoyer", "!bloc 1/"}},
                {Full(kEndFails, {"send", "LINE", "D/FACT0003.TXT"}), 1, {"envoyé : 20 blocs", "le journal est incomplet, la fin du transfert de ", "Sa ligne se lira « issue inconnue »"}},
                {{"journal"}, 0, {"envoi     20  issue inconnue  ", "/FACT0003.TXT\n"}},
                {{"send", "LINE", "D/FACT0003.TXT"}, 2, {"FACT0003.TXT a peut-être déjà été envoyé le ", "issue inconnue", "--ask-server", "!Appel"}},
                {{"send", "LINE", "D/FACT0003.TXT", "--ask-server"}, 0, {"le serveur a acquitté tous les blocs de FACT0003 envoyés le ", "n'en détient plus rien : il l'a reçu en entier", "!bloc 1/"}},
                {{"send", "LINE", "D/FACT0003.TXT"}, 2, {"FACT0003.TXT a déjà été envoyé le "}},
                {Full(kStartFails, {"send", "LINE", "D/FACT0004.TXT"}), 1, {"ne peut pas être écrit : disque plein : le transfert de ", "FACT0004.TXT n'est pas fait sans trace"}}},
       .json = {{{{"file", Q("D/FACT0001.TXT")}}, {{"file", Q("D/FACT0002.TXT")}, {"result", Q("interrupted")}, {"bytes", "7680"}, {"blocks", "null"}}, {{"file", Q("D/FACT0002.TXT")}, {"result", Q("rvTrue")}, {"blocks", "0"}, {"resumed_from", "60"}}, {{"file", Q("D/FACT0003.TXT")}, {"result", Q("unknown")}, {"blocks", "20"}}, {{"file", Q("D/FACT0003.TXT")}, {"result", Q("rvTrue")}, {"blocks", "0"}, {"resumed_from", "0"}}}}},
      // The server acknowledged every block of a send whose end the journal misses, and holds
      // nothing of it now: it took it in, the send is noted done without sending.
      {.what = "a send of unknown outcome whose server holds nothing now: noted sent without data",
       .simulator = {"--resume", "0"},
       .files = {{"FACT0001.TXT", kBill20}, {"FACT0002.TXT", kBill}},
       .args = {"send", "LINE", "D/FACT0001.TXT"},
       .status = 0,
       .left = {{"FACT0001.TXT", kBill20}, {"FACT0002.TXT", kBill}, {"store/FACT0001", kBill20}, {"store/FACT0002", kBill}},
       .dials = 3,
       .logged = {"transfert de « FACT0002 » terminé, 60 trames", "!FACT0002 » terminé"},
       .then = {{Full(kEndFails, {"send", "LINE", "D/FACT0002.TXT"}), 1, {"le journal est incomplet"}},
                {{"send", "LINE", "D/FACT0002.TXT", "--ask-server"}, 0, {"le serveur a acquitté tous les blocs de FACT0002 envoyés le ", "n'en détient plus rien : il l'a reçu en entier", "!bloc 1/"}},
                {{"send", "LINE", "D/FACT0002.TXT"}, 2, {"FACT0002.TXT a déjà été envoyé le ", "!Appel"}}},
       .json = {{{{"result", Q("rvTrue")}}, {{"result", Q("unknown")}, {"blocks", "60"}}, {{"result", Q("rvTrue")}, {"blocks", "0"}, {"description", Q("reçu en entier par le serveur lors de l'envoi précédent, qui en avait acquitté tous les blocs")}}}}},
      // A row of an earlier xmodemq, left running without the mark of its last block: the server
      // holding nothing of it does not say whether it took it in, and the send stops before any data.
      {.what = "a send of unknown outcome without the mark that the server does not confirm: stopped before any data",
       .simulator = {"--resume", "0"},
       .files = {{"FACT0002.TXT", kBill}, {"j/", ""}},
       .args = {"send", "LINE", "D/FACT0002.TXT", "--ask-server"},
       .status = 1,
       .said = {"le serveur ne détient rien de FACT0002", "arrêté avant toute donnée", "!bloc 1/"},
       .left = {{"FACT0002.TXT", kBill}, {"j/", "*"}},
       .env = {{"XMODEMQ_JOURNAL", "D/j/journal.sqlite"}},
       .dials = 1,
       .setup =
           [](const fs::path& d) {
             fs::permissions(d / "j", fs::perms(0700));
             Database db((d / "j/journal.sqlite").string(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
             MigrateSchema(db, SchemaVersion());
             db.Execute(("INSERT INTO transfers(call_id, started, direction, file, server_name, server_key, server, user, user_key, line, bytes, sha256, pid, process) VALUES('c', '2024-05-02T07:00:00Z', 'send', '/data/FACT0002.TXT', 'FACT0002', 'FACT0002', '" + std::string(xmodemquarvel::kServerNumber) + "', 'PS0001', 'PS0001', '/dev/ttyS0', 7680, '" + Sha256Of(kBill) + "', 1, 'x')").c_str());
             fs::permissions(d / "j/journal.sqlite", fs::perms(0600));
           },
       .json = {{{{"result", Q("unknown")}, {"blocks", "null"}}, {{"result", Q("rvFalse")}, {"blocks", "0"}, {"description", Q("le serveur ne confirme pas l'envoi précédent de FACT0002")}}}}},
      // clang-format on
  };
}

}  // namespace xmodemq::test
