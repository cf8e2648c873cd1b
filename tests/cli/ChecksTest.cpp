#include <cerrno>
#include <functional>

#include <gtest/gtest.h>

#include "Processes.h"

namespace xmodemq::test {
namespace {

namespace fs = std::filesystem;

// A mistake that the command refuses, or a failure it survives, before it
// dials and without harming a file: the exit status, what it says, and the
// files as they must be afterwards.
struct Row {
  std::string mistake;
  // Makes the files of the row in its folder; returns the arguments.
  std::function<std::vector<std::string>(const fs::path& d, const std::string& link)> make;
  int status;
  std::vector<std::string> said;
  std::function<void(const fs::path& d)> left = [](const fs::path&) {};
  Env env = {};
};

const std::string kBill = BillingRecords(4, 3);

void Unchanged(const fs::path& file, const std::string& content) {
  EXPECT_EQ(ReadFile(file), content) << file;
}

void OnlyFiles(const fs::path& d, std::size_t n) {
  EXPECT_EQ(std::distance(fs::directory_iterator(d), fs::directory_iterator()), n) << d;
}

TEST(Checks, EachMistakeIsRefusedWithoutACallAndWithoutHarm) {
  const std::vector<Row> rows = {
      {"send of a mistyped name",
       [](const fs::path& d, auto& link) { return Client("send", d / "nosuch.txt", link); },
       2,
       {"nosuch.txt n'existe pas : rien n'est envoyé"},
       [](const fs::path& d) { OnlyFiles(d, 0); }},
      {"send of a 5 242 896-byte file",
       [](const fs::path& d, auto& link) {
         WriteFile(d / "big.txt", "");
         fs::resize_file(d / "big.txt", 5'242'896);
         return Client("send", d / "big.txt", link);
       },
       2,
       {"big.txt fait 5 242 896 octets", "ses 16 derniers octets ne partiraient pas",
        "--pad envoie une copie complétée par des espaces jusqu'à 5 243 008 octets"}},
      {"send of an empty file",
       [](const fs::path& d, auto& link) {
         WriteFile(d / "empty.txt", "");
         return Client("send", d / "empty.txt", link);
       },
       2,
       {"empty.txt est vide"}},
      {"send of a folder",
       [](const fs::path& d, auto& link) { return Client("send", d, link); },
       2,
       {"est un dossier, pas un fichier"}},
      {"send of an unreadable file",
       [](const fs::path& d, auto& link) {
         WriteFile(d / "secret.txt", kBill);
         return Client("send", d / "secret.txt", link);
       },
       2,
       {"Impossible de lire ", "secret.txt : accès refusé"},
       [](const fs::path& d) { Unchanged(d / "secret.txt", kBill); },
       FailureEnv("secret.txt:" + std::to_string(EACCES))},
      {"a file name beginning with a dash, after --",
       [](const fs::path&, auto& link) {
         return std::vector<std::string>{"send", "--user", "PS0001", "--device",
                                         link,   "--",     "--quiet"};
       },
       2,
       {"--quiet n'existe pas"}},
      {"receive into an existing unrelated file",
       [](const fs::path& d, auto& link) {
         WriteFile(d / "FACT0001.TXT", "mes notes");
         return Client("receive", d / "FACT0001.TXT", link);
       },
       2,
       {"FACT0001.TXT existe déjà : la réception ne l'écrase pas et n'y ajoute rien", "--replace"},
       [](const fs::path& d) {
         Unchanged(d / "FACT0001.TXT", "mes notes");
         OnlyFiles(d, 1);
       }},
      {"receive of the same name again the next day",
       [](const fs::path& d, auto& link) {
         WriteFile(d / "FACT0001.TXT", kBill);
         return Client("receive", d / "FACT0001.TXT", link);
       },
       2,
       {"FACT0001.TXT existe déjà"},
       [](const fs::path& d) {
         Unchanged(d / "FACT0001.TXT", kBill);
         OnlyFiles(d, 1);
       }},
      {"receive into a folder that does not exist",
       [](const fs::path& d, auto& link) {
         return Client("receive", d / "nodir" / "FACT0001.TXT", link);
       },
       2,
       {"le dossier ", "nodir n'existe pas"},
       [](const fs::path& d) { OnlyFiles(d, 0); }},
      {"receive into a read-only folder",
       [](const fs::path& d, auto& link) {
         fs::create_directories(d / "ro");
         return Client("receive", d / "ro" / "FACT0001.TXT", link);
       },
       2,
       {"Impossible d'écrire dans le dossier ", "système de fichiers en lecture seule"},
       [](const fs::path& d) { OnlyFiles(d / "ro", 0); },
       FailureEnv("/ro/:" + std::to_string(EROFS))},
      {"receive after a partial file was damaged",
       [](const fs::path& d, auto& link) {
         fs::create_directories(d / ".xmodemq-partiel");
         WriteFile(d / ".xmodemq-partiel" / "FACT0001.TXT", kBill + "x");
         return Client("receive", d / "FACT0001.TXT", link);
       },
       2,
       {"513 octets, pas un nombre entier de blocs de 128 : supprimez-le"},
       [](const fs::path& d) { Unchanged(d / ".xmodemq-partiel" / "FACT0001.TXT", kBill + "x"); }},
      {"a user id that the line cannot carry",
       [](const fs::path& d, auto& link) {
         return std::vector<std::string>{
             "receive", (d / "F.TXT").string(), "--user", "Łukasz", "--device", link};
       },
       2,
       {"l'identifiant « Łukasz » contient « Ł », que la ligne (code Windows-1252) ne peut pas "
        "transmettre"},
       [](const fs::path& d) { OnlyFiles(d, 0); }},
      {"a file name that the line cannot carry",
       [](const fs::path& d, auto& link) {
         WriteFile(d / "Dvořák.TXT", kBill);
         return Client("send", d / "Dvořák.TXT", link);
       },
       2,
       {"le nom du fichier pour le serveur « Dvořák » contient « ř »"}},
      {"a file name that leaves the server no name",
       [](const fs::path& d, auto& link) {
         WriteFile(d / ".TXT", kBill);
         return Client("send", d / ".TXT", link);
       },
       2,
       {"ne donne aucun nom au serveur"}},
      {"pack same.dat same.dat",
       [](const fs::path& d, auto&) {
         WriteFile(d / "same.dat", kBill);
         return std::vector<std::string>{"pack", (d / "same.dat").string(),
                                         (d / "." / "same.dat").string()};
       },
       2,
       {"sont le même fichier"},
       [](const fs::path& d) {
         Unchanged(d / "same.dat", kBill);
         OnlyFiles(d, 1);
       }},
      {"pack with a missing source",
       [](const fs::path& d, auto&) {
         WriteFile(d / "out.pk", "ancien");
         return std::vector<std::string>{"pack", (d / "absent").string(), (d / "out.pk").string()};
       },
       2,
       {"absent n'existe pas"},
       [](const fs::path& d) { Unchanged(d / "out.pk", "ancien"); }},
      {"pack of a folder",
       [](const fs::path& d, auto&) {
         WriteFile(d / "out.pk", "ancien");
         return std::vector<std::string>{"pack", d.string(), (d / "out.pk").string()};
       },
       2,
       {"est un dossier"},
       [](const fs::path& d) {
         Unchanged(d / "out.pk", "ancien");
         OnlyFiles(d, 1);
       }},
      {"unpack of a file that is not packed",
       [](const fs::path& d, auto&) {
         WriteFile(d / "notes.txt", "pas compacté");
         WriteFile(d / "out.txt", "ancien");
         return std::vector<std::string>{"unpack", (d / "notes.txt").string(),
                                         (d / "out.txt").string()};
       },
       2,
       {"notes.txt n'est pas un fichier compacté valide : sa taille (13 octets)"},
       [](const fs::path& d) {
         Unchanged(d / "out.txt", "ancien");
         OnlyFiles(d, 2);
       }},
      {"unpack of a packed file whose end block is wrong",
       [](const fs::path& d, auto&) {
         // An end block whose fill count is above 127 cannot be unpacked.
         WriteFile(d / "bad.pk", std::string(128, 'A') + '\xff' + std::string(127, 'B'));
         WriteFile(d / "out.txt", "ancien");
         return std::vector<std::string>{"unpack", (d / "bad.pk").string(),
                                         (d / "out.txt").string()};
       },
       1,
       {"xmodemq: Décompactage : ", "bad.pk n'est pas un fichier compacté valide",
        "out.txt est laissé tel quel"},
       [](const fs::path& d) {
         Unchanged(d / "out.txt", "ancien");
         OnlyFiles(d, 2);
       }},
      {"pack onto a full disk",
       [](const fs::path& d, auto&) {
         fs::create_directories(d / "full");
         WriteFile(d / "bill.txt", BillingRecords(40, 1));
         WriteFile(d / "full" / "bill.pk", "ancien");
         return std::vector<std::string>{"pack", (d / "bill.txt").string(),
                                         (d / "full" / "bill.pk").string()};
       },
       1,
       {"Impossible d'écrire ", "bill.pk : disque plein ; ", "bill.pk est laissé tel quel"},
       [](const fs::path& d) {
         Unchanged(d / "full" / "bill.pk", "ancien");
         OnlyFiles(d / "full", 1);
       },
       FailureEnv("", "/full/:200")},
  };
  TempDir dir;
  Simulator sim(dir, {});
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    SCOPED_TRACE(row.mistake);
    const fs::path d = dir / ("row" + std::to_string(i));
    fs::create_directories(d);
    Env env = row.env;
    env["XMODEMQ_PASSWORD"] = "mdp";
    const Outcome r = RunXmodemq(row.make(d, sim.Link()), env, 10s);
    EXPECT_EQ(r.status, row.status) << r.All();
    for (const std::string& text : row.said)
      EXPECT_NE(r.err.find(text), std::string::npos) << r.err;
    row.left(d);
    EXPECT_EQ(sim.Openings(), 0u) << "a call was made";
  }
}

TEST(Checks, PackThenUnpackGivesTheFileBackThroughATemporaryFile) {
  TempDir dir;
  const std::string bill = BillingRecords(50, 5);
  WriteFile(dir / "bill.txt", bill);
  WriteFile(dir / "bill.out", "ancien");
  const Outcome packed =
      RunXmodemq({"pack", (dir / "bill.txt").string(), (dir / "bill.pk").string(), "--progress"});
  ASSERT_EQ(packed.status, 0) << packed.All();
  EXPECT_NE(packed.err.find("bloc 50/50"), std::string::npos) << packed.err;
  // Digits two to a byte and runs of spaces: the packed file is smaller.
  EXPECT_LT(fs::file_size(dir / "bill.pk"), bill.size());
  const Outcome unpacked =
      RunXmodemq({"unpack", (dir / "bill.pk").string(), (dir / "bill.out").string()});
  ASSERT_EQ(unpacked.status, 0) << unpacked.All();
  EXPECT_EQ(ReadFile(dir / "bill.out"), bill);
  // Without a terminal and without --progress, one line says what was done.
  EXPECT_EQ(Count(unpacked.err, "\n"), 1u) << unpacked.err;
  EXPECT_NE(unpacked.err.find("décompacté dans"), std::string::npos) << unpacked.err;
  OnlyFiles(dir.Path(), 3);
}

}  // namespace
}  // namespace xmodemq::test
