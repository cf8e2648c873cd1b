// Rows about the user's files: targets never replaced nor mixed, partial files
// resumed only when safe, what goes out checked first, disks that fill.

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "CommandTable.h"

namespace xmodemq::test {

std::vector<Row> FileRows() {
  const std::string big(5'242'896, 'a');
  const std::string end_block_over_127 = std::string(128, 'A') + '\xff' + std::string(127, 'B');
  // Another packer's choice: a block equal to the one before as F9 F9 F9 D5,
  // without the separators this one writes.
  const std::string other_packer =
      std::string(128, 'A') + "\x04\xF9\xF9\xF9\xD5" + std::string(123, '\0');
  const std::string name249 = std::string(246, 'F') + ".PK";
  const std::string old_origin = Origin("PS0001", 1577934245);  // 2020-01-02
  const auto fifo = [](const fs::path& d) { ASSERT_EQ(::mkfifo((d / "fifo").c_str(), 0600), 0); };
  return {
      // clang-format off
      // What exists is never replaced nor mixed: refused, or replaced only once the new file is complete.
      {"pack with its two files swapped", {}, {{"FACT.PK", Packed(kBill)}, {"FACT.TXT", kBill}}, {"pack", "D/FACT.PK", "D/FACT.TXT", "--json"}, 2, {"FACT.TXT existe déjà : il n'est pas remplacé. --replace"}},
      {"unpack of a plain billing file", {}, {{"FACT.TXT", kBill}}, {"unpack", "D/FACT.TXT", "D/OUT"}, 2, {"FACT.TXT n'est pas un fichier compacté valide : son dernier bloc ne finit pas par les octets nuls d'un bloc de fin", "--force le décompacte quand même"}},
      {.what = "unpack --force of a plain billing file", .files = {{"FACT.TXT", kBill}}, .args = {"unpack", "D/FACT.TXT", "D/OUT", "--force"}, .status = 0, .said = {"attention : ", "FACT.TXT ne se compacte pas de nouveau à l'identique", "vérifiez "}, .left = {{"FACT.TXT", kBill}, {"OUT", "*"}}},
      {.what = "unpack --verify of another packer's file: a warning, not a refusal", .files = {{"other.pk", other_packer}}, .args = {"unpack", "D/other.pk", "D/OUT", "--verify"}, .status = 0, .said = {"other.pk ne se compacte pas de nouveau à l'identique", "(premier écart trouvé au bloc 2)"}, .left = {{"other.pk", other_packer}, {"OUT", std::string(256, 'A')}}, .umask = 0, .modes = {{"OUT", 0600}}},
      {.what = "pack --replace onto a file that others can write: the new one stays private", .files = {{"bill.txt", kBill}, {"out.pk", "old"}}, .args = {"pack", "D/bill.txt", "D/out.pk", "--replace"}, .status = 0, .said = {"out.pk est modifiable par d'autres utilisateurs (mode 0666) : le fichier qui le remplace n'en prend pas les droits, il est privé (0600)"}, .left = {{"bill.txt", kBill}, {"out.pk", Packed(kBill)}}, .setup = [](const fs::path& d) { fs::permissions(d / "out.pk", fs::perms(0666)); }, .second_user = true, .modes = {{"out.pk", 0600}}},
      {.what = "pack --replace onto another user's file of mode 0640: the new one stays private", .files = {{"bill.txt", kBill}, {"out.pk", "old"}}, .args = {"pack", "D/bill.txt", "D/out.pk", "--replace"}, .status = 0, .said = {"out.pk appartient à root", "le fichier qui le remplace n'en prend pas les droits, il est privé (0600)"}, .left = {{"bill.txt", kBill}, {"out.pk", Packed(kBill)}}, .setup = [](const fs::path& d) { ASSERT_EQ(::lchown((d / "out.pk").c_str(), 0, 0), 0); fs::permissions(d / "out.pk", fs::perms(0640)); }, .two_users = true, .second_user = true, .modes = {{"out.pk", 0600}}},
      {.what = "pack --replace onto another user's private file: nothing to say", .files = {{"bill.txt", kBill}, {"out.pk", "old"}}, .args = {"pack", "D/bill.txt", "D/out.pk", "--replace"}, .status = 0, .said = {"!appartient", "!privé (0600)"}, .left = {{"bill.txt", kBill}, {"out.pk", Packed(kBill)}}, .setup = [](const fs::path& d) { ASSERT_EQ(::lchown((d / "out.pk").c_str(), 0, 0), 0); fs::permissions(d / "out.pk", fs::perms(0600)); }, .two_users = true, .second_user = true, .modes = {{"out.pk", 0600}}},
      {.what = "pack onto a FIFO, with --replace", .files = {{"bill.txt", kBill}}, .args = {"pack", "D/bill.txt", "D/fifo", "--replace"}, .status = 2, .said = {"fifo est un tube nommé (FIFO), pas un fichier ordinaire"}, .setup = fifo},
      {.what = "pack onto a device, with --replace", .files = {{"bill.txt", kBill}}, .args = {"pack", "D/bill.txt", "D/null", "--replace"}, .status = 2, .said = {"null est un périphérique, pas un fichier ordinaire"}, .setup = [](const fs::path& d) { ASSERT_EQ(::mknod((d / "null").c_str(), S_IFCHR | 0666, ::makedev(1, 3)), 0); }, .two_users = true},
      {.what = "unpack onto a symbolic link, with --replace", .files = {{"bill.pk", Packed(kBill)}, {"notes", "mes notes"}}, .args = {"unpack", "D/bill.pk", "D/link", "--replace"}, .status = 2, .said = {"link est un lien symbolique, pas un fichier ordinaire"}, .setup = [](const fs::path& d) { fs::create_symlink("notes", d / "link"); }},
      {.what = "receive onto a FIFO, with --replace", .args = {"receive", "LINE", "D/fifo", "--replace"}, .status = 2, .said = {"fifo est un tube nommé (FIFO), pas un fichier ordinaire : la réception ne le remplace pas"}, .setup = fifo},
      {.what = "pack to a name of 249 characters", .files = {{"bill.txt", kBill}}, .args = {"pack", "D/bill.txt", "D/" + name249}, .status = 0, .left = {{"bill.txt", kBill}, {name249, Packed(kBill)}}},
      {.what = "pack into a folder whose entries cannot be synced", .files = {{"bill.txt", kBill}, {"sync/", ""}}, .args = {"pack", "D/bill.txt", "D/sync/bill.pk"}, .status = 1, .said = {"Impossible d'écrire dans le dossier ", "sync : erreur d'entrée-sortie du disque"}, .left = {{"bill.txt", kBill}, {"sync/", ""}, {"sync/bill.pk", "*"}}, .env = FailureEnv("", "", {{"XMQ_FAIL_FSYNC", "/sync:" + std::to_string(EIO)}})},
      // Partial files: resumed only when they are the user's, recent, and for the same user.
      {"a partial file started two years ago", {}, {{kPartial + "FACT0001.TXT", kBill20}, {kPartial + ".origine/FACT0001.TXT", old_origin}, {"store/FACT0001", kBill}}, {"receive", "LINE", "D/FACT0001.TXT"}, 2, {kPartial + "FACT0001.TXT garde 20 blocs d'une réception de ", "commencée il y a ", " j ", "(le 2020-01-02T03:04:05Z), plus de 1 j", "Supprimez ", "--resume-old le reprend quand même"}},
      {"a partial file started two years ago, --resume-old", {}, {{kPartial + "FACT0001.TXT", kBill20}, {kPartial + ".origine/FACT0001.TXT", old_origin}, {"store/FACT0001", kBill}}, {"receive", "LINE", "D/FACT0001.TXT", "--resume-old"}, 0, {"Reprise après les 20 blocs", "reçu (repris après 20 blocs) : 40 blocs", "!Le serveur"}, {{"FACT0001.TXT", kBill}, {"store/FACT0001", kBill}}},
      // Its age is counted from when the table is made: a loaded machine may take minutes to start the command.
      {.what = "a partial file older than --partial-max-age in minutes", .files = {{kPartial + "FACT0001.TXT", kBill20}, {kPartial + ".origine/FACT0001.TXT", Origin("PS0001", std::time(nullptr) - 7260)}}, .args = {"receive", "LINE", "D/FACT0001.TXT", "--partial-max-age", "90min"}, .status = 2, .said = {"plus de 1 h 30 min"}, .check = [](const Outcome& r, const fs::path&) { EXPECT_THAT(r.err, ::testing::ContainsRegex("commencée il y a 2 h [1-9] min \\(le ")); }},
      {"a partial file older than --partial-max-age in hours", {}, {{kPartial + "FACT0001.TXT", kBill20}, {kPartial + ".origine/FACT0001.TXT", Origin("PS0001", std::time(nullptr) - 27 * 3600 - 60)}}, {"receive", "LINE", "D/FACT0001.TXT", "--partial-max-age", "26h"}, 2, {"commencée il y a 1 j 3 h (le ", "plus de 1 j 2 h"}},
      {.what = "a partial folder that is a symbolic link", .files = {{"elsewhere/", ""}}, .args = {"receive", "LINE", "D/FACT0001.TXT"}, .status = 2, .said = {kPartial.substr(0, kPartial.size() - 1) + " n'est pas un dossier : il sert aux réceptions en cours"}, .setup = [](const fs::path& d) { fs::create_directory_symlink("elsewhere", d / kPartial.substr(0, kPartial.size() - 1)); }},
      {"a partial file within --partial-max-age", {}, {{kPartial + "FACT0001.TXT", kBill20}, {kPartial + ".origine/FACT0001.TXT", old_origin}, {"store/FACT0001", kBill}}, {"receive", "LINE", "D/FACT0001.TXT", "--partial-max-age", "100000j"}, 0, {"Reprise après les 20 blocs"}, {{"FACT0001.TXT", kBill}, {"store/FACT0001", kBill}}},
      // What a send killed midway left in TMPDIR goes with the next send; a folder that is not such a copy stays.
      {.what = "a send's copy left by a kill -9, removed by the next send", .files = {{"FACT0001.TXT", kBill20}}, .args = {"send", "LINE", "D/FACT0001.TXT"}, .status = 0, .left = {{"FACT0001.TXT", kBill20}, {"store/FACT0001", kBill20}, {"tmp/xmodemq-Ef34Gh/", ""}, {"tmp/xmodemq-Ef34Gh/F", kBill20}}, .setup = [](const fs::path& d) { for (const char* name : {"xmodemq-Ab12Cd", "xmodemq-Ef34Gh"}) { fs::create_directories(d / "tmp" / name); WriteFile(d / "tmp" / name / "F", kBill20); } fs::permissions(d / "tmp/xmodemq-Ab12Cd", fs::perms(0700)); fs::last_write_time(d / "tmp/xmodemq-Ab12Cd", fs::file_time_type::clock::now() - 1h); fs::permissions(d / "tmp/xmodemq-Ef34Gh", fs::perms(0755)); }},
      {"a partial file dated in the future", {}, {{kPartial + "FACT0001.TXT", kBill20}, {kPartial + ".origine/FACT0001.TXT", Origin("PS0001", std::time(nullptr) + 3 * 86400)}}, {"receive", "LINE", "D/FACT0001.TXT"}, 2, {"plus tard que maintenant (l'horloge a changé)"}},
      {"a partial file started for the same account typed otherwise", {}, {{kPartial + "FACT0001.TXT", kBill20}, {kPartial + ".origine/FACT0001.TXT", Origin("PS0001  ")}, {"store/FACT0001", kBill}}, {"receive", "LINE", "D/FACT0001.TXT"}, 0, {"Reprise après les 20 blocs"}, {{"FACT0001.TXT", kBill}, {"store/FACT0001", kBill}}},
      {"a partial file started for another user", {}, {{kPartial + "FACT0001.TXT", kBill20}, {kPartial + ".origine/FACT0001.TXT", Origin("PS0002")}, {"store/FACT0001", kBill}}, {"receive", "LINE", "D/FACT0001.TXT"}, 2, {"commencée pour l'utilisateur « PS0002 », pas « PS0001 »"}},
      {"a partial file without its origin", {}, {{kPartial + "FACT0001.TXT", kBill20}, {"store/FACT0001", kBill}}, {"receive", "LINE", "D/FACT0001.TXT"}, 2, {"dont l'origine est inconnue"}},
      {.what = "a partial folder that others can write", .files = {{kPartial + "FACT0001.TXT", kBill20}, {kPartial + ".origine/FACT0001.TXT", Origin("PS0001")}}, .args = {"receive", "LINE", "D/FACT0001.TXT"}, .status = 2, .said = {kPartial.substr(0, kPartial.size() - 1) + " est modifiable par d'autres utilisateurs (mode 0770)", "chmod 700"}, .setup = [](const fs::path& d) { fs::permissions(d / kPartial, fs::perms(0770)); }},
      {.what = "another user's partial folder in a shared folder", .files = {{"shared/" + kPartial + "FACT0001.TXT", kBill.substr(0, 10 * 128)}}, .args = {"receive", "LINE", "D/shared/FACT0001.TXT"}, .status = 2, .said = {kPartial.substr(0, kPartial.size() - 1) + " appartient à xmq-intrus, pas à vous", "Supprimez-le s'il n'est pas à vous"}, .setup = [](const fs::path& d) { fs::permissions(d / "shared", fs::perms(01777)); Intruders(d / "shared" / kPartial, 0777); Intruders(d / "shared" / kPartial / "FACT0001.TXT", 0666); }, .two_users = true},
      {.what = "another user's partial file in the user's partial folder", .files = {{kPartial + "FACT0001.TXT", kBill20}, {kPartial + ".origine/FACT0001.TXT", Origin("PS0001")}}, .args = {"receive", "LINE", "D/FACT0001.TXT"}, .status = 2, .said = {kPartial + "FACT0001.TXT appartient à xmq-intrus"}, .setup = [](const fs::path& d) { Intruders(d / kPartial / "FACT0001.TXT", 0644); }, .two_users = true},
      // What goes out is what was checked.
      {"two files the server would take for one", {}, {{"LOT.TXT", kBill}, {"lot.DAT", kBill}}, {"send", "LINE", "D/LOT.TXT", "D/lot.DAT"}, 2, {"LOT.TXT et ", "lot.DAT portent le même nom pour le serveur (« LOT »"}},
      {"two receives the server would take for one, after the cut", {}, {{"a/", ""}}, {"receive", "LINE", "D/a/FACTURE_JANVIER_2024.TXT", "D/FACTURE_JANVIER_2025.TXT"}, 2, {"portent le même nom pour le serveur (« FACTURE_JANVIER_2 »"}},
      {.what = "a user id, then a file name, with control sequences", .files = {{"FACT\x1b]0;pwn\x07.TXT", kBill}}, .args = {"receive", "LINE", "D/F.TXT", "--user", "PS\x1b[2J0001"}, .status = 2, .said = {"l'identifiant « PS\\e[2J0001 » contient un caractère de contrôle (\\e)", "!\x1b"},
       .then = {{{"send", "LINE", "D/FACT\x1b]0;pwn\x07.TXT"}, 2, {"FACT\\e]0;pwn\\x07.TXT » contient un caractère de contrôle (\\e, \\x07)", "!\x1b"}}}},
      {"a password with a line feed", {}, {}, {"receive", "LINE", "D/F.TXT"}, 2, {"le mot de passe contient un caractère de contrôle"}, {{"=", ""}}, {{"XMODEMQ_PASSWORD", "Zq7\nATH0"}}},
      {"a password file that is a folder", {}, {{"pw/", ""}}, {"receive", "D/f", "--user", "u", "--password-file", "D/pw"}, 2, {"le fichier de mot de passe ", "pw est un dossier", "!est vide", "!chmod"}},
      {.what = "a device through another user's symbolic link", .simulator = {"--echo", "on"}, .files = {{"FACT0001.TXT", kBill}}, .args = {"send", "D/FACT0001.TXT", "--user", "PS0001", "--device", "D/evil"}, .status = 2, .said = {"evil, un lien symbolique de l'utilisateur xmq-intrus", "votre mot de passe"}, .setup = [](const fs::path& d) { fs::create_symlink(d / "modem", d / "evil"); Intruders(d / "evil", 0); }, .two_users = true},
      // Mistakes refused before the call, with exit 2, or failures without harm.
      {.what = "send of a mistyped name", .args = {"send", "LINE", "D/nosuch.txt", "--json"}, .status = 2, .said = {"nosuch.txt n'existe pas : rien n'est envoyé"}, .json = kNoRow},
      {.what = "send of a one-byte file, a 5 242 896-byte file, an empty file, a folder", .files = {{"one.txt", "x"}, {"big.txt", big}, {"empty.txt", ""}, {"dir/", ""}}, .args = {"send", "LINE", "D/one.txt"}, .status = 2, .said = {"one.txt fait 1 octet, ", "son dernier octet ne partirait pas"},
       .then = {{{"send", "LINE", "D/big.txt"}, 2, {"big.txt fait 5 242 896 octets", "ses 16 derniers octets ne partiraient pas", "--pad envoie une copie complétée par des espaces jusqu'à 5 243 008 octets"}},
                {{"send", "LINE", "D/empty.txt"}, 2, {"empty.txt est vide"}}, {{"send", "LINE", "D/dir"}, 2, {"dir est un dossier, pas un fichier"}}}},
      {"send of an unreadable file", {}, {{"secret.txt", kBill}}, {"send", "LINE", "D/secret.txt"}, 2, {"Impossible de lire ", "secret.txt : accès refusé"}, {{"=", ""}}, FailureEnv("secret.txt:" + std::to_string(EACCES))},
      {"a file name beginning with a dash, after --", {}, {}, {"send", "LINE", "--", "--quiet"}, 2, {"--quiet n'existe pas"}},
      {.what = "receive into an existing unrelated file, a missing folder, a folder's name, a name without a base name", .files = {{"FACT0001.TXT", "mes notes"}, {"in/", ""}}, .args = {"receive", "LINE", "D/FACT0001.TXT"}, .status = 2, .said = {"FACT0001.TXT existe déjà : la réception ne l'écrase pas et n'y ajoute rien", "--replace le remplace une fois la réception terminée"},
       .then = {{{"receive", "LINE", "D/nodir/FACT0001.TXT"}, 2, {"le dossier ", "nodir n'existe pas"}}, {{"receive", "LINE", "D/in"}, 2, {"in est un dossier : donnez le chemin du fichier à recevoir, par exemple ", "in/FACT0001.TXT"}},
                {{"receive", "LINE", "D/.cache"}, 2, {"« ", ".cache » ne donne aucun nom au serveur", "!partiel"}}}},
      // Advice that is true: free space first, a file's path for a folder, the port without --device.
      {"a receive onto a file system with less free space than --min-free", {}, {}, {"receive", "LINE", "D/F.TXT", "--min-free", "1000000000G"}, 2, {"octets libres sur le système de fichiers de ", "(--min-free : 1 073 741 824 000 000 000) : libérez de la place d'abord"}},
      {"a forgotten --device, a port that is not there", {}, {}, {"receive", "D/F.TXT", "--user", "u", "--port", "200"}, 1, {"Le port /dev/ttyS199 n'existe pas", "sans --device, l'appel passe par /dev/ttyS199 : donnez --device CHEMIN"}},
      // System errors in French, and a number rather than English beyond the table.
      {"a device that is a folder, in the library's own message", {}, {{"F.TXT", kBill20}, {"dir/", ""}}, {"send", "D/F.TXT", "--user", "u", "--device", "D/dir"}, 1, {"Impossible d'ouvrir le port ", "dir : c'est un dossier", "!Is a directory"}},
      {"send of a file on a device that is gone", {}, {{"gone.txt", kBill}}, {"send", "LINE", "D/gone.txt"}, 2, {"gone.txt : périphérique absent ou non configuré"}, {{"=", ""}}, FailureEnv("gone.txt:" + std::to_string(ENXIO))},
      {"send of a file that fails with an error beyond the table", {}, {{"odd.txt", kBill}}, {"send", "LINE", "D/odd.txt"}, 2, {"odd.txt : erreur système " + std::to_string(EPROTO), "!Protocol"}, {{"=", ""}}, FailureEnv("odd.txt:" + std::to_string(EPROTO))},
      {"receive into a read-only folder", {}, {{"ro/", ""}}, {"receive", "LINE", "D/ro/FACT0001.TXT"}, 2, {"Impossible d'écrire dans le dossier ", "ro : système de fichiers en lecture seule"}, {{"=", ""}}, FailureEnv("/ro/:" + std::to_string(EROFS))},
      {"receive after its partial file was damaged", {}, {{kPartial + "FACT0001.TXT", kBill.substr(0, 512) + "x"}}, {"receive", "LINE", "D/FACT0001.TXT"}, 2, {"513 octets, pas un nombre entier de blocs de 128 : supprimez-le"}},
      {.what = "a user id, a file name that the line cannot carry; a file name that leaves the server no name", .files = {{"Dvořák.TXT", kBill}, {".TXT", kBill}}, .args = {"receive", "LINE", "D/F.TXT", "--user", "Łukasz"}, .status = 2, .said = {"l'identifiant « Łukasz » contient « Ł », que la ligne (code Windows-1252) ne peut pas transmettre"},
       .then = {{{"send", "LINE", "D/Dvořák.TXT"}, 2, {"le nom du fichier pour le serveur « Dvořák » contient « ř »"}}, {{"send", "LINE", "D/.TXT"}, 2, {"ne donne aucun nom au serveur"}}}},
      {.what = "pack same.dat same.dat, onto a folder, of a missing source, of a folder", .files = {{"same.dat", kBill}, {"out/", ""}, {"out.pk", "ancien"}}, .args = {"pack", "D/same.dat", "D/./same.dat"}, .status = 2, .said = {"sont le même fichier"},
       .then = {{{"pack", "D/same.dat", "D/out"}, 2, {"out est un dossier"}}, {{"pack", "D/absent", "D/out.pk"}, 2, {"absent n'existe pas"}}, {{"pack", "D/", "D/out.pk"}, 2, {"est un dossier"}}}},
      {"unpack of a file that is not packed", {}, {{"notes.txt", "pas compacté"}, {"out", "ancien"}}, {"unpack", "D/notes.txt", "D/out"}, 2, {"notes.txt n'est pas un fichier compacté valide : sa taille (13 octets)"}},
      {"unpack of a packed file whose end block is wrong", {}, {{"bad.pk", end_block_over_127}, {"out", "ancien"}}, {"unpack", "D/bad.pk", "D/out", "--force", "--replace"}, 1, {"xmodemq: Décompactage : ", "bad.pk n'est pas un fichier compacté valide", "out est laissé tel quel"}},
      {.what = "pack onto a full disk", .files = {{"bill.txt", kBill}, {"full/bill.pk", "ancien"}}, .args = {"pack", "D/bill.txt", "D/full/bill.pk", "--replace", "--json"}, .status = 1, .said = {"Impossible d'écrire ", "full/bill.pk : disque plein ; ", "bill.pk est laissé tel quel"}, .env = FailureEnv("", "/full/:200"), .json = {{{{"operation", Q("pack")}, {"target", Q("D/full/bill.pk")}, {"source_bytes", "7680"}, {"target_bytes", "null"}, {"exit_status", "1"}, {"description", "*"}}}}},
      {"pack when the mode of its temporary file cannot be set", {}, {{"bill.txt", kBill}}, {"pack", "D/bill.txt", "D/bill.pk"}, 2, {"Impossible de créer un fichier temporaire dans ", "erreur système " + std::to_string(EPROTO)}, {{"=", ""}}, FailureEnv("", "", {{"XMQ_FAIL_FCHMOD", "/.xmodemq-:" + std::to_string(EPROTO)}})},
      {"demo on a disk that fills at its file", {}, {}, {"demo", "--records", "16", "--dir", "D/demo"}, 1, {"xmodemq: demo : Impossible d'écrire ", "FACT0001.TXT : disque plein", "!Résumé"}, {{"demo/", "*"}}, FailureEnv("", "/FACT0001.TXT:1000")},
      {"demo on a disk that fills at a received copy", {}, {}, {"demo", "--records", "16", "--dir", "D/demo"}, 1, {"xmodemq: demo : Impossible d'écrire ", "retour/FACT0001.TXT : disque plein", "!Résumé"}, {{"demo/", "*"}}, FailureEnv("", "/retour/:1000")},
      {"demo on a disk that fills at the unpacked file", {}, {}, {"demo", "--records", "16", "--dir", "D/demo"}, 1, {"xmodemq: demo : Impossible d'écrire ", "FACT0001.UNP : disque plein", "!Résumé"}, {{"demo/", "*"}}, FailureEnv("", "/FACT0001.UNP:1000")},
      // clang-format on
  };
}

}  // namespace xmodemq::test
