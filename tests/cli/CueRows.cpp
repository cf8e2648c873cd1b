// Rows that act while the command runs, once it shows a cue: signals, files
// changed or swapped under it, the progress on terminals of every width, the
// password prompt.

#include <signal.h>

#include <gtest/gtest.h>

#include "CommandTable.h"

namespace xmodemq::test {

namespace {

// Broken off by a signal once the first blocks are in: a partial file of
// whole blocks from the start of the file, that a rerun resumes.
Row SignalRow(int signo, int status, const std::string& name) {
  static const std::string bill = BillingFile(200, 13);
  // clang-format off
  return {.what = name, .simulator = {"--baud", "19200"}, .files = {{"store/FACT0002", bill}},
          .args = {"receive", "LINE", "D/FACT0002.TXT", "--progress"}, .status = status,
          .said = {"Interrompu (" + name, "relancez la même commande pour reprendre"},
          .left = {{kPartial, "*"}, {"store/FACT0002", bill}},
          .during = [signo](Process& client, const fs::path& d, Simulator* sim) {
            if (signo == SIGHUP) {
              // Meanwhile a second receive of the same file is refused, without a call
              // (and without the journal of the user who runs the tests).
              const Outcome second = Process(Expand({"receive", "LINE", "D/FACT0002.TXT", "--no-journal"}, d),
                                             {{"XMODEMQ_PASSWORD", kSecret}}).Wait(30s);
              EXPECT_EQ(second.status, 2) << second.All();
              EXPECT_NE(second.err.find("une autre réception de "), std::string::npos);
              EXPECT_EQ(sim->Openings(), 1u);
            }
            client.Signal(signo);
          },
          .check = [](const Outcome&, const fs::path& d) {
            const std::string held = ReadFile(d / kPartial / "FACT0002.TXT");
            EXPECT_GT(held.size(), 0u);
            EXPECT_EQ(held.size() % 128, 0u);
            EXPECT_EQ(held, bill.substr(0, held.size()));
          },
          .json = {{{{"result", Q("rvFalse")}, {"description", Q("Opération interrompue")},
                     {"exit_status", std::to_string(status)}, {"blocks", "*"}, {"ended", "*"}}}}};
  // clang-format on
}

// The progress of a send on a terminal of `columns` (0: no size given).
Row ProgressRow(unsigned short columns, unsigned short resize = 0) {
  static const std::string bill = BillingFile(200, 17);
  // clang-format off
  return {.what = "progress at " + std::to_string(columns) + " then " + std::to_string(resize),
          .simulator = {"--baud", "38400"}, .files = {{"FACT0001.TXT", bill}}, .args = {"send", "LINE", "D/FACT0001.TXT"},
          .status = 0, .said = {"bloc 200/200"}, .left = {{"FACT0001.TXT", bill}, {"store/FACT0001", bill}},
          .columns = columns, .resize = resize};
  // clang-format on
}

// The password typed at its prompt, then Enter or Ctrl-C.
Row PromptRow(const std::string& end, int status, const std::vector<std::string>& said) {
  // clang-format off
  return {.what = "prompt ended by " + std::to_string(end[0]), .args = {"receive", "D/f", "--user", "u", "--device", "D/absent"},
          .status = status, .said = said, .env = {{"XMODEMQ_PASSWORD", std::nullopt}}, .columns = 80,
          .during = [end](Process& term, const fs::path&, Simulator*) {
            // Echo goes off once the prompt shows, once the prompt has set it.
            for (int i = 0; i < 500 && term.EchoOn(); ++i) term.Pump(10ms);
            EXPECT_FALSE(term.EchoOn());
            term.Type(kSecret + end);
          },
          .cue = "Mot de passe : "};
  // clang-format on
}

// A receive into a folder that all can write, whose partial folder another
// user swaps for one of their own once `cue` shows: the file received is the
// server's, the user's own, and theirs is left alone.
Row SwappedRow(const std::string& what, const std::string& baud, const std::string& stored,
               const std::string& cue) {
  const std::string forged = BillingFile(60, 99).substr(0, stored.size() / 2);
  // clang-format off
  return {.what = what, .simulator = {"--baud", baud}, .files = {{"open/", ""}, {"store/FACT0002", stored}},
          .args = {"receive", "LINE", "D/open/FACT0002.TXT", "--progress"}, .status = 0,
          .left = {{"open/", ""}, {"open/FACT0002.TXT", stored}, {"open/old/", ""}, {"open/" + kPartial, ""},
                   {"open/" + kPartial + "FACT0002.TXT", forged}, {"store/FACT0002", stored}},
          .during = [forged](Process&, const fs::path& d, Simulator*) {
            fs::rename(d / "open" / kPartial, d / "open/old");
            MakeTree(d / "open", {{kPartial + "FACT0002.TXT", forged}});
            Intruders(d / "open" / kPartial, 0777);
            Intruders(d / "open" / kPartial / "FACT0002.TXT", 0666);
          },
          .cue = cue, .setup = [](const fs::path& d) { fs::permissions(d / "open", fs::perms(0777)); },
          .two_users = true, .umask = 0, .modes = {{"open/FACT0002.TXT", 0600}}};
  // clang-format on
}

// Ctrl-C once `d` shows `busy`: nothing is left behind.
Row CtrlCRow(const std::string& what, Tree files, std::vector<std::string> args,
             std::vector<std::string> said, const std::string& slow,
             std::function<bool(const fs::path& d)> busy) {
  return {.what = what,
          .files = std::move(files),
          .args = std::move(args),
          .status = 130,
          .said = std::move(said),
          .env = FailureEnv("", "", {{"XMQ_SLOW_IO", slow}}),
          .during = [](Process& client, const fs::path&, Simulator*) { client.Signal(SIGINT); },
          .cue = "",
          .when = std::move(busy)};
}

// Another program writes `name` once the first blocks went or came.
Row ChangedRow(Row row, const std::string& baud, const std::string& name,
               const std::string& content) {
  row.simulator = {"--baud", baud};
  row.during = [=](Process&, const fs::path& d, Simulator*) { WriteFile(d / name, content); };
  return row;
}

}  // namespace

std::vector<Row> CueRows() {
  const std::string pad_big = BillingFile(8000, 5) + "16 octets de plus";
  const std::string big = pad_big + pad_big + pad_big + pad_big;
  return {
      // clang-format off
      ChangedRow({.what = "a target that another program creates during the receive", .files = {{"store/FACT0002", kBill}}, .args = {"receive", "LINE", "D/FACT0002.TXT", "--progress"}, .status = 1,
                  .said = {"FACT0002.TXT a été créé par un autre programme pendant la réception : il n'est pas remplacé ; le fichier reçu est gardé dans ", kPartial + "FACT0002.TXT"},
                  .left = {{"FACT0002.TXT", kBill}, {"store/FACT0002", kBill}}, .then = {{{"receive", "LINE", "D/FACT0002.TXT", "--replace"}, 0, {"Reprise après les 60 blocs"}}}},
                 "19200", "FACT0002.TXT", "autre programme"),
      ChangedRow({.what = "a file rewritten during its send", .files = {{"FACT0006.TXT", BillingFile(600, 21)}}, .args = {"send", "LINE", "D/FACT0006.TXT", "--progress"},
                  .status = 0, .said = {"FACT0006.TXT envoyé : 600 blocs"}, .left = {{"FACT0006.TXT", BillingFile(600, 22)}, {"store/FACT0006", BillingFile(600, 21)}}},
                 "230400", "FACT0006.TXT", BillingFile(600, 22)),
      SwappedRow("the partial file swapped by another user during the receive", "19200", kBill, "bloc "),
      SwappedRow("the partial folder swapped by another user while the modem dials", "1200", kBill.substr(0, 2 * 128), "Initialisation du modem"),
      // While the copy is being made.
      CtrlCRow("Ctrl-C while --pad makes its copy", {{"FACT0008.TXT", pad_big}}, {"send", "LINE", "D/FACT0008.TXT", "--pad"}, {"Interrompu (Ctrl-C) avant l'appel : rien n'est envoyé ni reçu."},
               "/tmp/xmodemq-:400", [pad_big](const fs::path& d) { return Holds(d / "tmp", "FACT0008", pad_big.size()); }),
      CtrlCRow("Ctrl-C while pack works", {{"big.txt", big}}, {"pack", "D/big.txt", "D/big.pk"}, {"xmodemq: Compactage interrompu : ", "big.pk n'est pas créé"},
               "big.txt:1000", [](const fs::path& d) { return Holds(d, ".xmodemq-"); }),
      ProgressRow(80, 40), ProgressRow(40), ProgressRow(20), ProgressRow(80), ProgressRow(0),
      SignalRow(SIGHUP, 129, "SIGHUP"), SignalRow(SIGTERM, 143, "SIGTERM"), SignalRow(SIGINT, 130, "Ctrl-C"),
      PromptRow("\r", 1, {"Connexion impossible"}), PromptRow("\x03", 130, {"Interrompu (Ctrl-C) avant l'appel : rien n'est envoyé ni reçu."}),
      // clang-format on
  };
}

}  // namespace xmodemq::test
