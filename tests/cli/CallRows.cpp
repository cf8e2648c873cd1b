// Rows that call the simulated server: what each call leaves, cut lines resumed,
// batches, remote lines, the demo.

#include <gtest/gtest.h>

#include "CommandTable.h"

namespace xmodemq::test {

std::vector<Row> CallRows() {
  const std::string odd = kBill.substr(0, 40 * 128 + 16);
  const std::string iac = WithIacInEveryBlock(kBill);
  const std::string id40 = "PS0001-" + std::string(33, 'X');
  std::vector<std::string> batch_log = {"numérotation : "};
  for (const char* name : {"FACT0001", "FACT0002", "FACT0003"})
    batch_log.insert(batch_log.end(), {"envoi de « " + std::string(name) + " »",
                                       "transfert de « " + std::string(name) + " » terminé"});
  batch_log.push_back("client : port fermé");
  std::vector<std::string> remote_batch_log = batch_log;
  remote_batch_log.insert(remote_batch_log.begin(), "!la ligne n'a aucune authentification");
  return {
      // clang-format off
      // A row run twice first, the longest next: the others run on meanwhile.
      {.what = "a receive cut midway, run again", .simulator = {"--cut-after", "21"}, .files = {{"store/FACT0002", kBill}}, .args = {"receive", "LINE", "D/FACT0002.TXT"}, .status = 3,
       .said = {"Xmodem: ReceiveFile: La ligne est coupée", "20 blocs de 128 octets sont gardés dans ", kPartial + "FACT0002.TXT ; relancez la même commande pour reprendre"},
       .left = {{"FACT0002.TXT", kBill}, {"store/FACT0002", kBill}},
       .logged = {"numérotation : ", "réception de « FACT0002 »", "coupure de la ligne", "numérotation : ", "réception de « FACT0002 » par « PS0001 », reprise demandée", "transfert de « FACT0002 » terminé, 40 trames"},
       .then = {{{"receive", "LINE", "D/FACT0002.TXT", "--progress"}, 0, {"Reprise après les 20 blocs déjà reçus", "bloc 21,"}}},
       .json = {{{{"direction", Q("receive")}, {"result", Q("rvCTS")}, {"description", Q("La ligne est coupée")}, {"exit_status", "3"}, {"blocks", "20"}, {"bytes", "2560"}, {"sha256", "null"}, {"resumed_from", "0"}, {"ended", "*"}},
                 {{"result", Q("rvTrue")}, {"resumed_from", "20"}, {"blocks", "40"}, {"bytes", "7680"}, {"sha256", Q(Sha256Of(kBill))}, {"exit_status", "0"}}}}},
      // Run again in the same folder: a fresh sub-folder, nothing of the first run touched.
      {.what = "the demo on an 80-column terminal, twice in one folder", .files = {{"demo/FACT0001.TXT", "mine"}}, .args = {"demo", "--records", "64", "--dir", "D/demo"}, .status = 0,
       .said = {"La ligne est coupée", "garde 32 blocs (4096 octets)", "bloc 64/64", "Journal des transferts", "réception  32+32  réussi           0  reprise/FACT0001.TXT\r\n"},
       .left = {{"demo/", "*"}}, .columns = 80, .max_lines = 80,
       .check = [](const Outcome& r, const fs::path& d) {
         // The modem dialogue of each of the three calls; the files, compared once more.
         EXPECT_EQ(Count(r.out, "modem> CONNECT"), 3u);
         EXPECT_EQ(Count(r.out, "identique\r\n"), 4u);
         for (const std::string& line : ScreenLines(r.out)) EXPECT_LT(Width(line), 80u) << line;
         EXPECT_EQ(ReadFile(d / "demo/FACT0001.TXT"), "mine");
         EXPECT_EQ(ReadFile(d / "demo/demo-2/FACT0001.TXT").size(), 4u * 128);
         const std::string bill = ReadFile(d / "demo/demo-1/FACT0001.TXT");
         EXPECT_EQ(bill.size(), 64u * 128);
         for (const char* copy : {"retour/FACT0001.TXT", "reprise/FACT0001.TXT", "FACT0001.UNP"}) EXPECT_EQ(ReadFile(d / "demo/demo-1" / copy), bill) << copy;
       },
       .then = {{{"demo", "--records", "4", "--dir", "D/demo"}, 0, {"demo-2"}}}},
      // Calls, and what each leaves.
      {.what = "a receive into a folder whose entries cannot be synced", .files = {{"sync/", ""}, {"store/FACT0002", kBill}}, .args = {"receive", "LINE", "D/sync/FACT0002.TXT"}, .status = 1, .said = {"Impossible d'écrire dans le dossier ", "sync : erreur d'entrée-sortie du disque"}, .left = {{"sync/", ""}, {"sync/FACT0002.TXT", kBill}, {"store/FACT0002", kBill}}, .env = FailureEnv("", "", {{"XMQ_FAIL_FSYNC", "/sync:" + std::to_string(EIO)}})},
      {"receive of the same name again, with --replace, through a damaged frame", {"--fault", "corrupt-frame=5"}, {{"FACT0002.TXT", "hier"}, {"store/FACT0002", kBill}}, {"receive", "LINE", "D/FACT0002.TXT", "--replace"}, 0, {"FACT0002.TXT reçu : 60 blocs de 128 octets"}, {{"FACT0002.TXT", kBill}, {"store/FACT0002", kBill}}},
      {.what = "a disk that fills during a receive", .files = {{"store/FACT0002", kBill}}, .args = {"receive", "LINE", "D/FACT0002.TXT"}, .status = 1, .said = {"xmodemq: Impossible d'écrire ", kPartial + "FACT0002.TXT : disque plein : libérez de la place sur ce disque avant de relancer", "1 bloc de 128 octets est gardé dans "}, .left = {{kPartial, ""}, {kPartial + "FACT0002.TXT", kBill.substr(0, 128)}, {kPartial + ".origine/", ""}, {kPartial + ".origine/FACT0002.TXT", "*"}, {"store/FACT0002", kBill}}, .env = FailureEnv("", "partiel/FACT0002.TXT:200"), .umask = 0, .modes = {{kPartial, 0700}, {kPartial + "FACT0002.TXT", 0600}}},
      {"a busy line, then the call goes through, with a modem that does not echo", {"--dial-answer", "BUSY,CONNECT 9600", "--echo", "off"}, {{"FACT0001.TXT", kBill}}, {"send", "LINE", "D/FACT0001.TXT"}, 0, {"Appel du serveur…\nLigne occupée (BUSY) : le modem attend jusqu'à 1 min 45 s\nConnecté (CONNECT 9600).\n", "FACT0001.TXT envoyé : 60 blocs de 128 octets"}, {{"FACT0001.TXT", kBill}, {"store/FACT0001", kBill}}},
      {"busy and no carrier, then a new dial; a 40-character user id and a 17-character name", {"--dial-answer", "BUSY,NO CARRIER", "--dial-answer", "CONNECT 9600"}, {{"store/FACTURE_JANVIER_2", kBill}}, {"receive", "LINE", "D/FACTURE_JANVIER_2.TXT", "--attempts", "1", "--user", id40}, 0, {"Ligne occupée (BUSY)", "\n« NO CARRIER », nouvel essai (2 sur 2)…\n", "Connecté (CONNECT 9600).", "!attention"}, {{"FACTURE_JANVIER_2.TXT", kBill}, {"store/FACTURE_JANVIER_2", kBill}}},
      // No call, no transfer: no row.
      {.what = "no dial tone, on a line that others can reach", .simulator = {"--dial-answer", "NO DIALTONE", "--listen", "0.0.0.0:0", "--allow-remote"}, .args = {"receive", "LINE", "D/F.TXT", "--trace", "--json"}, .status = 3, .said = {"Xmodem: Connect: Pas de tonalité", "xmodemq: dernière réponse du modem à l'appel : « NO DIALTONE »"}, .left = {}, .logged = {"la ligne n'a aucune authentification"}, .json = kNoRow},
      {.what = "a wrong password, after a line of the pool that is missing", .simulator = {"--accounts", "D/accounts"}, .files = {{"accounts", "PS0001:le-bon\r\n\nPS0002:autre\n"}}, .args = {"receive", "--device", "D/absent", "LINE", "D/F.TXT"}, .status = 4, .said = {"Xmodem: ReceiveFile: Transfert refusé, status 3", "xmodemq: le serveur refuse le transfert : mot de passe erroné (status 3)", "absent indisponible"}, .left = {{"accounts", "PS0001:le-bon\r\n\nPS0002:autre\n"}}, .check = [](const Outcome& r, const fs::path&) { EXPECT_EQ(Count(r.All(), "Initialisation du modem…"), 2u) << "once per line tried"; }, .logged = {"attention : ", "accounts est lisible par d'autres utilisateurs", "réception de « F » par « PS0001 », reprise non, statut 3"}, .then = {{{"journal"}, 0, {"refusé", "(Transfert refusé : mot de passe erroné (status 3))"}}}, .json = {{{{"file", Q("D/F.TXT")}, {"result", Q("rvRefuse")}, {"description", Q("Transfert refusé : mot de passe erroné (status 3)")}, {"exit_status", "4"}, {"blocks", "0"}, {"resumed_from", "null"}, {"bytes", "0"}}}}},
      {.what = "the right password, from a file that others can read, traced", .simulator = {"--accounts", "D/accounts"}, .files = {{"accounts", "PS0002:autre\nPS0001:" + std::string(kSecret) + "\n"}, {"pw", std::string(kSecret) + "\n"}, {"FACT0001.TXT", kBill20}}, .args = {"send", "D/FACT0001.TXT", "--user", "PS0001", "--password-file", "D/pw", "--device", "D/modem", "--trace", "--progress"}, .status = 0, .said = {"Connecté", "lisible par d'autres utilisateurs", "FACT0001.TXT envoyé : 20 blocs"}, .left = {{"accounts", "PS0002:autre\nPS0001:" + std::string(kSecret) + "\n"}, {"pw", std::string(kSecret) + "\n"}, {"FACT0001.TXT", kBill20}, {"store/FACT0001", kBill20}}, .env = {{"XMODEMQ_PASSWORD", std::nullopt}}},
      // The server never stores nor serves a hidden name or one that holds a path.
      {"a send of a hidden name", {}, {{".profile.x", kBill}}, {"send", "LINE", "D/.profile.x"}, 4, {"Transfert refusé, status 8"}, {{".profile.x", kBill}}},
      {"a receive of a hidden name", {}, {{"store/.hidden", kBill}}, {"receive", "LINE", "D/.hidden.TXT"}, 4, {"Transfert refusé, status 6"}, {{"store/.hidden", kBill}}},
      {"a 45-character user id and a 23-character base name", {}, {{"FACTURE_JANVIER_2024_01.TXT", kBill}}, {"send", "LINE", "D/FACTURE_JANVIER_2024_01.TXT", "--user", id40 + "XXXXX"}, 0, {"attention : l'identifiant « PS0001-XXX", "» a 45 caractères ; la ligne n'en porte que 40", "attention : le nom du fichier pour le serveur « FACTURE_JANVIER_2024_01 » a 23 caractères ; la ligne n'en porte que 17 : le serveur recevra « FACTURE_JANVIER_2 »\nInitialisation du modem…"}, {{"FACTURE_JANVIER_2024_01.TXT", kBill}, {"store/FACTURE_JANVIER_2", kBill}}},
      // Every file that --serve names is served.
      {.what = "a send that resumes after what the server holds, beside a second file served", .simulator = {"--serve", "D/half/FACT0007.TXT", "--serve", "D/half/FACT0008.TXT", "--resume-sends"}, .files = {{"half/FACT0007.TXT", kBill.substr(0, 12 * 128)}, {"half/FACT0008.TXT", kBill20}, {"FACT0007.TXT", kBill.substr(0, 30 * 128)}}, .args = {"send", "LINE", "D/FACT0007.TXT", "--progress"}, .status = 0, .said = {"Le serveur détient déjà 12 blocs de FACT0007", "le journal ne connaît aucun envoi de FACT0007 à ce serveur pour cet utilisateur : impossible de vérifier que ces 12 blocs sont les premiers de ", "envoyé (repris après 12 blocs) : 18 blocs de 128 octets", "bloc 13/30", "bloc 30/30"}, .left = {{"half/", ""}, {"half/FACT0007.TXT", kBill.substr(0, 12 * 128)}, {"half/FACT0008.TXT", kBill20}, {"FACT0007.TXT", kBill.substr(0, 30 * 128)}, {"FACT0008.TXT", kBill20}, {"store/FACT0007", kBill.substr(0, 30 * 128)}, {"store/FACT0008", kBill20}}, .then = {{{"receive", "LINE", "D/FACT0008.TXT"}, 0, {"FACT0008.TXT reçu : 20 blocs"}}}},
      // --cut-after cuts a send too, at the server's acknowledgement: it holds one block more.
      {.what = "a send cut midway, run again", .simulator = {"--cut-after", "21", "--resume-sends"}, .files = {{"FACT0003.TXT", kBill}}, .args = {"send", "LINE", "D/FACT0003.TXT"}, .status = 3, .said = {"La ligne est coupée", "FACT0003.TXT interrompu : le serveur a acquitté 20 blocs sur 60 ; relancez la même commande"}, .left = {{"FACT0003.TXT", kBill}, {"store/FACT0003", kBill}}, .then = {{{"send", "LINE", "D/FACT0003.TXT"}, 0, {"Le serveur détient déjà 21 blocs de FACT0003", "envoyé (repris après 21 blocs) : 39 blocs de 128 octets"}}}},
      {.what = "a remote line cut midway, run again", .simulator = {"--listen", "127.0.0.1:0", "--cut-after", "21"}, .files = {{"store/FACT0002", kBill}}, .args = {"receive", "LINE", "D/FACT0002.TXT", "--trace"}, .status = 3, .said = {"La ligne est coupée", "20 blocs de 128 octets sont gardés", "perdue : connexion"}, .left = {{"FACT0002.TXT", kBill}, {"store/FACT0002", kBill}}, .logged = {"!la ligne n'a aucune authentification", "numérotation : ", "coupure de la connexion", "numérotation : ", "transfert de « FACT0002 » terminé, 40 trames"}, .then = {{{"receive", "LINE", "D/FACT0002.TXT"}, 0, {"Reprise après les 20 blocs déjà reçus"}}}},
      {.what = "a remote line on IPv6, 0xFF in every block both ways", .simulator = {"--listen", "[::1]:0"}, .files = {{"FACT0005.TXT", iac}, {"back/", ""}}, .args = {"send", "LINE", "D/FACT0005.TXT", "--trace"}, .status = 0, .said = {"FACT0005.TXT envoyé : 60 blocs", "!Ligne distante"}, .left = {{"FACT0005.TXT", iac}, {"store/FACT0005", iac}, {"back/", ""}, {"back/FACT0005.TXT", iac}}, .logged = {"!la ligne n'a aucune authentification", "transfert de « FACT0005 » terminé"}, .then = {{{"receive", "LINE", "D/back/FACT0005.TXT"}, 0}}},
      {.what = "a batch of three sends on one call", .files = {{"FACT0001.TXT", kBill20}, {"FACT0002.TXT", odd}, {"FACT0003.TXT", kBill}}, .args = {"send", "LINE", "D/FACT0001.TXT", "D/FACT0002.TXT", "D/FACT0003.TXT", "--pad"}, .status = 0, .said = {"FACT0002.TXT envoyé complété par 112 espaces : 41 blocs de 128 octets", "FACT0003.TXT envoyé : 60 blocs"}, .left = {{"FACT0001.TXT", kBill20}, {"FACT0002.TXT", odd}, {"FACT0003.TXT", kBill}, {"store/FACT0001", kBill20}, {"store/FACT0002", odd + std::string(112, ' ')}, {"store/FACT0003", kBill}}, .dials = 1, .logged = batch_log},
      {.what = "a batch of three sends on one call over a remote line", .simulator = {"--listen", "localhost:0"}, .files = {{"FACT0001.TXT", kBill20}, {"FACT0002.TXT", odd}, {"FACT0003.TXT", kBill}}, .args = {"send", "LINE", "D/FACT0001.TXT", "D/FACT0002.TXT", "D/FACT0003.TXT", "--pad"}, .status = 0, .said = {"FACT0003.TXT envoyé : 60 blocs"}, .left = {{"FACT0001.TXT", kBill20}, {"FACT0002.TXT", odd}, {"FACT0003.TXT", kBill}, {"store/FACT0001", kBill20}, {"store/FACT0002", odd + std::string(112, ' ')}, {"store/FACT0003", kBill}}, .dials = 1, .logged = remote_batch_log},
      {.what = "a batch of receives stopped by a file the server lacks", .files = {{"store/FACT0001", kBill20}, {"store/FACT0003", kBill}}, .args = {"receive", "LINE", "D/FACT0001.TXT", "D/FACT0003.TXT", "D/FACT0009.TXT"}, .status = 4, .said = {"2 fichiers sur 3 transférés : ", "FACT0001.TXT, ", "FACT0003.TXT."}, .left = {{"FACT0001.TXT", kBill20}, {"FACT0003.TXT", kBill}, {"store/FACT0001", kBill20}, {"store/FACT0003", kBill}}, .dials = 1},
      {.what = "pack then unpack, through private temporary files; --replace keeps the mode", .files = {{"bill.txt", kBill}, {"bill.out", "ancien"}}, .args = {"pack", "D/bill.txt", "D/bill.pk", "--progress"}, .status = 0, .said = {"bloc 60/60"}, .left = {{"bill.txt", kBill}, {"bill.pk", Packed(kBill)}, {"bill.out", kBill}}, .setup = [](const fs::path& d) { fs::permissions(d / "bill.out", fs::perms(0640)); }, .umask = 0, .modes = {{"bill.pk", 0600}, {"bill.out", 0640}}, .then = {{{"unpack", "D/bill.pk", "D/bill.out", "--replace"}, 0, {"bill.pk (", "blocs) décompacté dans ", "bill.out : 60 blocs de 128 octets.", "!bloc ", "!attention"}}}},
      // clang-format on
  };
}

}  // namespace xmodemq::test
