#include <signal.h>

#include <algorithm>
#include <functional>

#include <gtest/gtest.h>

#include "Processes.h"

namespace xmodemq::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// A call made by the command against a simulator of its own. The rows of a
// table all run at once, each in its folder D with the server's store in
// D/store (files there are served under their name) and D/tmp as TMPDIR.
struct Call {
  std::string what;
  std::vector<std::string> simulator = {};
  Tree files = {};
  // "send" and "receive" get --user PS0001 and --device LINK first.
  std::vector<std::string> args;
  int status;
  std::vector<std::string> said;
  // All that D holds afterwards, besides store/ and tmp/: none lost, none
  // stale, none mixed, nothing left behind.
  Tree left = {};
  // The same command run again once the first has ended, to succeed; `left`
  // is then what that leaves.
  std::vector<std::string> again = {};
  // Runs while the command does, once it has shown its first block; then
  // `check` looks at what is left in place of `left`.
  std::function<void(Process& client, const fs::path& d, Simulator& sim)> during = {};
  std::function<void(const fs::path& d)> check = {};
  Env env = {};
};

const std::string kBill = BillingRecords(60, 11);

std::vector<std::string> WithLine(std::vector<std::string> args, const fs::path& d,
                                  const std::string& link) {
  if (args[0] == "send" || args[0] == "receive")
    args.insert(args.begin() + 1, {"--user", "PS0001", "--device", "LINK"});
  return Expand(args, d, link);
}

const Env kPassword = {{"XMODEMQ_PASSWORD", "mdp-42"}};

void RunTable(const std::vector<Call>& rows) {
  struct Running {
    TempDir dir;
    std::unique_ptr<Simulator> sim;
    std::unique_ptr<Process> client;
  };
  std::vector<std::unique_ptr<Running>> runs;
  for (const Call& row : rows) {
    auto& run = *runs.emplace_back(std::make_unique<Running>());
    const fs::path d = run.dir.Path();
    MakeTree(d, row.files);
    MakeTree(d, {{"store/", ""}, {"tmp/", ""}});
    std::vector<std::string> options = {"--store", (d / "store").string()};
    options.insert(options.end(), row.simulator.begin(), row.simulator.end());
    run.sim = std::make_unique<Simulator>(run.dir, options);
    std::vector<std::string> args = {XMODEMQ_PATH};
    for (auto& a : WithLine(row.args, d, run.sim->Link())) args.push_back(a);
    Env env = row.env;
    env.insert(kPassword.begin(), kPassword.end());
    env["TMPDIR"] = (d / "tmp").string();
    run.client = std::make_unique<Process>(args, env);
  }
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (!rows[i].during) continue;
    SCOPED_TRACE(rows[i].what);
    Process& client = *runs[i]->client;
    const auto deadline = Clock::now() + 20s;
    while (client.ErrSoFar().find("bloc ") == std::string::npos && Clock::now() < deadline &&
           client.Pump(20ms)) {
    }
    ASSERT_NE(client.ErrSoFar().find("bloc "), std::string::npos) << client.ErrSoFar();
    rows[i].during(client, runs[i]->dir.Path(), *runs[i]->sim);
  }
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Call& row = rows[i];
    const fs::path d = runs[i]->dir.Path();
    SCOPED_TRACE(row.what);
    const Outcome r = runs[i]->client->Wait(60s);
    EXPECT_EQ(r.status, row.status) << r.All();
    for (const std::string& text : row.said)
      EXPECT_NE(r.err.find(text), std::string::npos) << r.err;
    if (!row.again.empty()) {
      const Outcome again = RunXmodemq(WithLine(row.again, d, runs[i]->sim->Link()), kPassword);
      EXPECT_EQ(again.status, 0) << again.All();
      // Resumed after the blocks held: the count goes on from them.
      EXPECT_NE(again.err.find("Reprise après les 20 blocs déjà reçus"), std::string::npos);
      EXPECT_NE(again.err.find("bloc 21,"), std::string::npos) << again.err;
      EXPECT_EQ(again.err.find("bloc 1,"), std::string::npos) << again.err;
    }
    if (row.check) {
      row.check(d);
      continue;
    }
    Tree left = row.left;
    left.insert({{"store/", ""}, {"tmp/", ""}});
    EXPECT_EQ(ReadTree(d), left);
  }
}

TEST(Transfer, EachCallEndsAsTheUserMustFindIt) {
  const std::string odd = kBill.substr(0, 40 * 128 + 16);
  const std::string partial = ".xmodemq-partiel/";
  RunTable({
      {"send of a file that is not whole records, with --pad",
       {},
       {{"FACT0009.TXT", odd}},
       {"send", "D/FACT0009.TXT", "--pad"},
       0,
       {"FACT0009.TXT envoyé complété par 112 espaces : 41 blocs de 128 octets"},
       {{"FACT0009.TXT", odd}, {"store/FACT0009", odd + std::string(112, ' ')}}},
      {"receive of the same name again, with --replace",
       {},
       {{"FACT0002.TXT", "hier"}, {"store/FACT0002", kBill}},
       {"receive", "D/FACT0002.TXT", "--replace"},
       0,
       {"FACT0002.TXT reçu : 60 blocs de 128 octets"},
       {{"FACT0002.TXT", kBill}, {"store/FACT0002", kBill}}},
      {"a receive cut midway, run again",
       {"--cut-after", "21"},
       {{"store/FACT0002", kBill}},
       {"receive", "D/FACT0002.TXT"},
       3,
       {"Xmodem: ReceiveFile: La ligne est coupée", "20 blocs de 128 octets sont gardés dans ",
        partial + "FACT0002.TXT ; relancez la même commande pour reprendre"},
       {{"FACT0002.TXT", kBill}, {"store/FACT0002", kBill}},
       {"receive", "D/FACT0002.TXT", "--progress"}},
      {.what = "a disk that fills during a receive",
       .files = {{"store/FACT0002", kBill}},
       .args = {"receive", "D/FACT0002.TXT"},
       .status = 1,
       .said = {"xmodemq: Impossible d'écrire ", partial + "FACT0002.TXT : disque plein",
                "10 blocs de 128 octets sont gardés"},
       // The block written in part is cut off: a rerun resumes after block 10.
       .left = {{partial, ""},
                {partial + "FACT0002.TXT", kBill.substr(0, 1280)},
                {"store/FACT0002", kBill}},
       .env = FailureEnv("", ".xmodemq-partiel:1300")},
      {"a busy line, then the call goes through",
       {"--dial-answer", "BUSY,CONNECT 9600"},
       {{"FACT0001.TXT", kBill}},
       {"send", "D/FACT0001.TXT"},
       0,
       {"Appel du serveur…\nLigne occupée (BUSY) : le modem attend jusqu'à 1 min 45 s\n"
        "Connecté (CONNECT 9600).\n",
        "FACT0001.TXT envoyé : 60 blocs de 128 octets"},
       {{"FACT0001.TXT", kBill}, {"store/FACT0001", kBill}}},
      {"busy and no carrier, then a new dial",
       {"--dial-answer", "BUSY,NO CARRIER", "--dial-answer", "CONNECT 9600"},
       {{"store/FACT0002", kBill}},
       {"receive", "D/FACT0002.TXT", "--attempts", "1"},
       0,
       {"Ligne occupée (BUSY)", "\n« NO CARRIER », nouvel essai (2 sur 2)…\n",
        "Connecté (CONNECT 9600)."},
       {{"FACT0002.TXT", kBill}, {"store/FACT0002", kBill}}},
      {"no dial tone",
       {"--dial-answer", "NO DIALTONE"},
       {},
       {"receive", "D/F.TXT", "--trace"},
       3,
       {"Xmodem: Connect: Pas de tonalité",
        "xmodemq: dernière réponse du modem à l'appel : « NO DIALTONE »"},
       {}},
      {"a wrong password",
       {"--account", "PS0001:le-bon"},
       {},
       {"receive", "D/F.TXT"},
       4,
       {"Xmodem: ReceiveFile: Transfert refusé, status 3",
        "xmodemq: le serveur refuse le transfert : mot de passe erroné (status 3)"},
       {}},
      {"a 45-character user id and a 23-character base name",
       {},
       {{"FACTURE_JANVIER_2024_01.TXT", kBill}},
       {"send", "D/FACTURE_JANVIER_2024_01.TXT", "--user", "PS0001-" + std::string(38, 'X')},
       0,
       {"attention : l'identifiant « PS0001-XXX", "» a 45 caractères ; la ligne n'en porte que 40",
        "attention : le nom du fichier pour le serveur « FACTURE_JANVIER_2024_01 » a 23 "
        "caractères ; la ligne n'en porte que 17 : le serveur recevra « FACTURE_JANVIER_2 »\n"
        "Initialisation du modem…"},
       {{"FACTURE_JANVIER_2024_01.TXT", kBill}, {"store/FACTURE_JANVIER_2", kBill}}},
  });
}

TEST(Transfer, ASignalHangsUpInOrderAndLeavesAResumablePartialFile) {
  const std::string bill = BillingRecords(200, 13);
  const auto row = [&bill](int signo, int status, const std::string& name) {
    return Call{name,
                // Slow enough that the transfer is still running when the signal comes.
                {"--baud", "19200"},
                {{"store/FACT0002", bill}},
                {"receive", "D/FACT0002.TXT", "--progress"},
                status,
                {"Interrompu (" + name, "relancez la même commande pour reprendre"},
                {},
                {},
                [signo](Process& client, const fs::path& d, Simulator& sim) {
                  if (signo == SIGHUP) {
                    // Meanwhile a second receive of the same file is refused, without a call.
                    const Outcome second = RunXmodemq(
                        WithLine({"receive", "D/FACT0002.TXT"}, d, sim.Link()), kPassword);
                    EXPECT_EQ(second.status, 2) << second.All();
                    EXPECT_NE(second.err.find("une autre réception de "), std::string::npos);
                    EXPECT_EQ(sim.Openings(), 1u);
                  }
                  client.Signal(signo);
                },
                [&bill](const fs::path& d) {
                  // No target; a partial file of whole blocks, the start of the file.
                  EXPECT_FALSE(fs::exists(d / "FACT0002.TXT"));
                  const std::string held = ReadFile(d / ".xmodemq-partiel" / "FACT0002.TXT");
                  EXPECT_GT(held.size(), 0u);
                  EXPECT_LT(held.size(), bill.size());
                  EXPECT_EQ(held.size() % 128, 0u);
                  EXPECT_EQ(held, bill.substr(0, held.size()));
                }};
  };
  RunTable({row(SIGHUP, 129, "SIGHUP"), row(SIGTERM, 143, "SIGTERM"), row(SIGINT, 130, "Ctrl-C")});
}

TEST(Transfer, TheProgressLineFitsTheTerminalAndFollowsItsWidth) {
  // The width the terminal starts with, and the one it is given midway.
  const std::vector<std::pair<unsigned short, unsigned short>> sizes = {
      {40, 40}, {80, 80}, {80, 40}};
  const std::string bill = BillingRecords(200, 17);
  std::vector<std::unique_ptr<TempDir>> dirs;
  std::vector<std::unique_ptr<Simulator>> sims;
  std::vector<std::unique_ptr<Terminal>> terms;
  for (const auto& [columns, resized] : sizes) {
    const TempDir& dir = *dirs.emplace_back(std::make_unique<TempDir>());
    WriteFile(dir / "FACT0001.TXT", bill);
    const Simulator& sim = *sims.emplace_back(std::make_unique<Simulator>(
        dir, std::vector<std::string>{"--baud", "115200", "--store", dir.Path().string()}));
    std::vector<std::string> args = {XMODEMQ_PATH};
    for (auto& a : Client("send", dir / "FACT0001.TXT", sim.Link())) args.push_back(a);
    terms.push_back(std::make_unique<Terminal>(args, Env{{"XMODEMQ_PASSWORD", "x"}}, columns));
  }
  std::vector<std::size_t> before;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    ASSERT_TRUE(terms[i]->ReadUntil("bloc ", 20s)) << terms[i]->Screen();
    before.push_back(terms[i]->Screen().size());
    if (sizes[i].second != sizes[i].first) terms[i]->Resize(sizes[i].second);
  }
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    const auto [columns, resized] = sizes[i];
    Terminal& term = *terms[i];
    SCOPED_TRACE(std::to_string(columns) + " then " + std::to_string(resized) + " columns");
    EXPECT_EQ(term.Wait(30s), 0) << term.Screen();
    const std::string& screen = term.Screen();
    // Redrawn in place many times, yet only a few lines: no trail.
    EXPECT_GT(Count(screen, "\r\033[K"), 10u);
    EXPECT_LT(Count(screen, "\n"), 8u) << screen;
    for (const std::string& line : ScreenLines(screen.substr(0, before[i])))
      EXPECT_LT(Width(line), columns) << line;
    const auto lines = ScreenLines(screen.substr(before[i]));
    const auto last = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
      return line.find("bloc 200/200") != std::string::npos;
    });
    ASSERT_NE(last, lines.end()) << screen;
    EXPECT_LT(Width(*last), resized) << *last;
    // The bar itself only where there is room for it.
    EXPECT_EQ(last->find("[######"), resized >= 80 ? 6u : std::string::npos) << *last;
  }
}

}  // namespace
}  // namespace xmodemq::test
