#include <cerrno>

#include <gtest/gtest.h>

#include "Processes.h"

namespace xmodemq::test {
namespace {

namespace fs = std::filesystem;

// A mistake that the command refuses (status 2), or a failure it survives
// (status 1), before it dials and without harming a file: the row's folder
// D holds afterwards exactly what it held before, byte for byte.
struct Row {
  std::string mistake;
  Tree files;
  // "send" and "receive" get --user PS0001 and --device LINK first.
  std::vector<std::string> args;
  int status;
  std::vector<std::string> said;
  Env env = {};
};

const std::string kBill = BillingRecords(4, 3);
const std::string kEndBlockOver127 = std::string(128, 'A') + '\xff' + std::string(127, 'B');
const std::string k5242896Bytes(5'242'896, 'a');

TEST(Checks, EachMistakeIsRefusedWithoutACallAndWithoutHarm) {
  const std::vector<Row> rows = {
      {"send of a mistyped name",
       {},
       {"send", "D/nosuch.txt"},
       2,
       {"nosuch.txt n'existe pas : rien n'est envoyé"}},
      {"send of a 5 242 896-byte file",
       {{"big.txt", k5242896Bytes}},
       {"send", "D/big.txt"},
       2,
       {"big.txt fait 5 242 896 octets", "ses 16 derniers octets ne partiraient pas",
        "--pad envoie une copie complétée par des espaces jusqu'à 5 243 008 octets"}},
      {"send of an empty file",
       {{"empty.txt", ""}},
       {"send", "D/empty.txt"},
       2,
       {"empty.txt est vide"}},
      {"send of a folder",
       {{"dir/", ""}},
       {"send", "D/dir"},
       2,
       {"dir est un dossier, pas un fichier"}},
      {"send of an unreadable file",
       {{"secret.txt", kBill}},
       {"send", "D/secret.txt"},
       2,
       {"Impossible de lire ", "secret.txt : accès refusé"},
       FailureEnv("secret.txt:" + std::to_string(EACCES))},
      {"a file name beginning with a dash, after --",
       {},
       {"send", "--", "--quiet"},
       2,
       {"--quiet n'existe pas"}},
      {"receive into an existing unrelated file",
       {{"FACT0001.TXT", "mes notes"}},
       {"receive", "D/FACT0001.TXT"},
       2,
       {"FACT0001.TXT existe déjà : la réception ne l'écrase pas et n'y ajoute rien",
        "--replace le remplace une fois la réception terminée"}},
      {"receive of the same name again the next day",
       {{"FACT0001.TXT", kBill}},
       {"receive", "D/FACT0001.TXT"},
       2,
       {"FACT0001.TXT existe déjà"}},
      {"receive into a folder that does not exist",
       {},
       {"receive", "D/nodir/FACT0001.TXT"},
       2,
       {"le dossier ", "nodir n'existe pas"}},
      {"receive into a read-only folder",
       {{"ro/", ""}},
       {"receive", "D/ro/FACT0001.TXT"},
       2,
       {"Impossible d'écrire dans le dossier ", "ro : système de fichiers en lecture seule"},
       FailureEnv("/ro/:" + std::to_string(EROFS))},
      {"receive after its partial file was damaged",
       {{".xmodemq-partiel/FACT0001.TXT", kBill + "x"}},
       {"receive", "D/FACT0001.TXT"},
       2,
       {"513 octets, pas un nombre entier de blocs de 128 : supprimez-le"}},
      {"a user id that the line cannot carry",
       {},
       {"receive", "D/F.TXT", "--user", "Łukasz"},
       2,
       {"l'identifiant « Łukasz » contient « Ł », que la ligne (code Windows-1252) ne peut pas "
        "transmettre"}},
      {"a file name that the line cannot carry",
       {{"Dvořák.TXT", kBill}},
       {"send", "D/Dvořák.TXT"},
       2,
       {"le nom du fichier pour le serveur « Dvořák » contient « ř »"}},
      {"a file name that leaves the server no name",
       {{".TXT", kBill}},
       {"send", "D/.TXT"},
       2,
       {"ne donne aucun nom au serveur"}},
      {"pack same.dat same.dat",
       {{"same.dat", kBill}},
       {"pack", "D/same.dat", "D/./same.dat"},
       2,
       {"sont le même fichier"}},
      {"pack onto a folder",
       {{"bill.txt", kBill}, {"out/", ""}},
       {"pack", "D/bill.txt", "D/out"},
       2,
       {"out est un dossier"}},
      {"pack of a missing source",
       {{"out.pk", "ancien"}},
       {"pack", "D/absent", "D/out.pk"},
       2,
       {"absent n'existe pas"}},
      {"pack of a folder",
       {{"out.pk", "ancien"}},
       {"pack", "D/", "D/out.pk"},
       2,
       {"est un dossier"}},
      {"unpack of a file that is not packed",
       {{"notes.txt", "pas compacté"}, {"out", "ancien"}},
       {"unpack", "D/notes.txt", "D/out"},
       2,
       {"notes.txt n'est pas un fichier compacté valide : sa taille (13 octets)"}},
      {"unpack of a packed file whose end block is wrong",
       {{"bad.pk", kEndBlockOver127}, {"out", "ancien"}},
       {"unpack", "D/bad.pk", "D/out"},
       1,
       {"xmodemq: Décompactage : ", "bad.pk n'est pas un fichier compacté valide",
        "out est laissé tel quel"}},
      {"pack onto a full disk",
       {{"bill.txt", BillingRecords(40, 1)}, {"full/bill.pk", "ancien"}},
       {"pack", "D/bill.txt", "D/full/bill.pk"},
       1,
       {"Impossible d'écrire ", "full/bill.pk : disque plein ; ", "bill.pk est laissé tel quel"},
       FailureEnv("", "/full/:200")},
  };
  TempDir dir;
  Simulator sim(dir, {});
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    SCOPED_TRACE(row.mistake);
    const fs::path d = dir / ("row" + std::to_string(i));
    fs::create_directories(d);
    MakeTree(d, row.files);
    const Tree before = ReadTree(d);
    std::vector<std::string> args = row.args;
    if (args[0] == "send" || args[0] == "receive")
      args.insert(args.begin() + 1, {"--user", "PS0001", "--device", "LINK"});
    Env env = row.env;
    env["XMODEMQ_PASSWORD"] = "mdp";
    const Outcome r = RunXmodemq(Expand(args, d, sim.Link()), env, 10s);
    EXPECT_EQ(r.status, row.status) << r.All();
    for (const std::string& text : row.said)
      EXPECT_NE(r.err.find(text), std::string::npos) << r.err;
    EXPECT_EQ(ReadTree(d), before);
    EXPECT_EQ(sim.Openings(), 0u) << "a call was made";
  }
}

TEST(Checks, PackThenUnpackGivesTheFileBackThroughATemporaryFile) {
  TempDir dir;
  const std::string bill = BillingRecords(50, 5);
  MakeTree(dir.Path(), {{"bill.txt", bill}, {"bill.out", "ancien"}});
  const Outcome packed =
      RunXmodemq({"pack", (dir / "bill.txt").string(), (dir / "bill.pk").string(), "--progress"});
  ASSERT_EQ(packed.status, 0) << packed.All();
  EXPECT_NE(packed.err.find("bloc 50/50"), std::string::npos) << packed.err;
  // Digits two to a byte and runs of spaces: the packed file is smaller.
  EXPECT_LT(fs::file_size(dir / "bill.pk"), bill.size());
  const Outcome unpacked =
      RunXmodemq({"unpack", (dir / "bill.pk").string(), (dir / "bill.out").string()});
  ASSERT_EQ(unpacked.status, 0) << unpacked.All();
  // Without a terminal and without --progress, one line says what was done.
  EXPECT_EQ(Count(unpacked.err, "\n"), 1u) << unpacked.err;
  EXPECT_NE(unpacked.err.find("décompacté dans"), std::string::npos) << unpacked.err;
  const Tree left = ReadTree(dir.Path());
  EXPECT_EQ(left.size(), 3u);
  EXPECT_EQ(left.at("bill.out"), bill);
}

}  // namespace
}  // namespace xmodemq::test
