#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>

#include <gtest/gtest.h>

#include "Processes.h"
#include "Progress.h"
#include "Session.h"
#include "modem/ServerNumber.h"
#include "sim/SimulatedModem.h"
#include "sim/SimulatedSerialPort.h"

namespace xmodemq::test {
namespace {

namespace fs = std::filesystem;
namespace sim = xmodemquarvel::sim;
using xmodemquarvel::rvFalse;
using xmodemquarvel::rvTrue;

constexpr const char* kSecret = "Zq7-motdepasse";
const std::string kPartial = ".xmodemq-partiel/";
const std::string kBill = BillingRecords(60, 11);

// A folder's files and folders by path relative to it: a folder's name ends
// with '/' and maps to "", a symbolic link maps to "@". Made readable by all,
// whatever the umask.
using Tree = std::map<std::string, std::string>;

void MakeTree(const fs::path& dir, const Tree& tree) {
  for (const auto& [name, content] : tree) {
    fs::create_directories((dir / name).parent_path());
    if (name.back() == '/') continue;
    WriteFile(dir / name, content);
    fs::permissions(dir / name, fs::perms(0644));
  }
}

Tree ReadTree(const fs::path& dir) {
  Tree tree;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    const std::string name = entry.path().lexically_relative(dir).string();
    if (entry.is_symlink())
      tree[name] = "@";
    else if (entry.is_directory())
      tree[name + "/"] = "";
    else
      tree[name] = ReadFile(entry.path());
  }
  return tree;
}

// The lines a terminal shows: split at CR and LF, the control sequences
// (clear, cursor up) taken out; and the columns of a UTF-8 text.
std::vector<std::string> ScreenLines(const std::string& screen) {
  std::vector<std::string> lines(1);
  for (std::size_t i = 0; i < screen.size(); ++i) {
    if (screen.compare(i, 2, "\033[") == 0)
      i = screen.find_first_of("ABJK", i);
    else if (screen[i] == '\r' || screen[i] == '\n')
      lines.emplace_back();
    else
      lines.back().push_back(screen[i]);
  }
  return lines;
}

std::size_t Width(const std::string& text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

// Preloads the failure shim (see FailShim.cpp): `open_fail` is TEXT:ERRNO,
// `write_fail` TEXT:BYTES. An instrumented xmodemq wants its runtime first.
Env FailureEnv(const std::string& open_fail, const std::string& write_fail = {}) {
  const char* asan = std::getenv("ASAN_OPTIONS");
  Env env = {{"LD_PRELOAD", XMQ_FAIL_SHIM},
             {"ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0"}};
  if (!open_fail.empty()) env["XMQ_FAIL_OPEN"] = open_fail;
  if (!write_fail.empty()) env["XMQ_FAIL_WRITE"] = write_fail;
  return env;
}

// The command run as a user runs it, in a folder D of its own beside a
// simulator of its own (D/modem, its store D/store), with D/tmp as TMPDIR
// and the password in XMODEMQ_PASSWORD.
struct Row {
  std::string what;
  std::vector<std::string> simulator = {};
  Tree files = {};
  // "D/x" is x in D, "LINE" stands for --user PS0001 --device D/modem (or the
  // simulator's rfc2217:// address, given --listen).
  std::vector<std::string> args;
  int status;
  // Texts it writes; "!text" one that it must not write.
  std::vector<std::string> said;
  // All that D holds afterwards besides store/, tmp/ and modem: none lost,
  // stale, mixed or left behind ("*": any content, under a folder too).
  // By default D as it was, and no call made.
  Tree left = {{"=", ""}};
  Env env = {};
  // On a terminal of that width (0: one that gives no size), resized to
  // `resize` columns when it shows its first block.
  std::optional<unsigned short> columns = {};
  unsigned short resize = 0;
  std::size_t max_lines = 8;
  // Run once it has shown `cue`.
  std::function<void(Process&, const fs::path& d, Simulator*)> during = {};
  std::string cue = "bloc ";
  // The same folder's next command, to succeed, and what it writes.
  std::vector<std::string> again = {};
  std::vector<std::string> again_said = {};
  std::function<void(const Outcome&, const fs::path& d)> check = {};
  // How many dials the simulator logs, if set.
  std::optional<std::size_t> dials = {};
  // Texts the simulator logs, in this order.
  std::vector<std::string> logged = {};
};

std::vector<std::string> Expand(const std::vector<std::string>& args, const fs::path& d,
                                std::vector<std::string> out = {XMODEMQ_PATH},
                                const Simulator* sim = nullptr) {
  for (const std::string& a : args) {
    if (a == "LINE")
      out.insert(out.end(),
                 {"--user", "PS0001", "--device", sim ? sim->Link() : (d / "modem").string()});
    else
      out.push_back(a.rfind("D/", 0) == 0 ? (d / a.substr(2)).string() : a);
  }
  return out;
}

void Said(const std::string& text, const std::vector<std::string>& said) {
  for (const std::string& s : said) {
    if (s[0] == '!')
      EXPECT_EQ(text.find(s.substr(1)), std::string::npos) << s << "\n" << text;
    else
      EXPECT_NE(text.find(s), std::string::npos) << s << "\n" << text;
  }
}

// All rows run at once, each row's commands in turn.
void RunTable(const std::vector<Row>& rows) {
  struct Run {
    TempDir dir;
    std::unique_ptr<Simulator> sim;
    Tree before;
    Env env;
    std::unique_ptr<Process> process;
  };
  std::vector<std::unique_ptr<Run>> runs;
  for (const Row& row : rows) {
    Run& run = *runs.emplace_back(std::make_unique<Run>());
    const fs::path d = run.dir.path();
    MakeTree(d, row.files);
    MakeTree(d, {{"store/", ""}, {"tmp/", ""}});
    // A line for the rows that name one: a call there would show in its log.
    const auto& a = row.args;
    if (!row.simulator.empty() || std::count(a.begin(), a.end(), "LINE") != 0 ||
        std::count(a.begin(), a.end(), "D/modem") != 0)
      run.sim = std::make_unique<Simulator>(
          run.dir, Expand(row.simulator, d, {"--store", (d / "store").string()}));
    run.before = ReadTree(d);
    run.env = row.env;
    run.env.insert({{"XMODEMQ_PASSWORD", kSecret}, {"TMPDIR", (d / "tmp").string()}});
    run.process = std::make_unique<Process>(Expand(row.args, d, {XMODEMQ_PATH}, run.sim.get()),
                                            run.env, fs::path(), row.columns);
  }
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (!rows[i].during && rows[i].resize == 0) continue;
    SCOPED_TRACE(rows[i].what);
    Process& process = *runs[i]->process;
    ASSERT_TRUE(process.Await(rows[i].cue, 20s)) << process.OutSoFar() << process.ErrSoFar();
    if (rows[i].resize != 0) process.Resize(rows[i].resize);
    if (rows[i].during) rows[i].during(process, runs[i]->dir.path(), runs[i]->sim.get());
  }
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    Run& run = *runs[i];
    const fs::path d = run.dir.path();
    SCOPED_TRACE(row.what);
    const Outcome r = run.process->Wait(60s);
    EXPECT_EQ(r.status, row.status) << r.All();
    Said(r.All() + (run.sim ? run.sim->Log() : ""), {"!" + std::string(kSecret)});
    Said(r.All(), row.said);
    if (row.status == 2 && !row.columns) {
      EXPECT_EQ(r.out, "");
    }
    if (row.columns) {
      EXPECT_TRUE(run.process->EchoOn());
      // Never wider than the terminal; redrawn in place, leaving no trail.
      const std::size_t first = *row.columns != 0 ? *row.columns : 80;
      const std::size_t last = row.resize != 0 ? row.resize : first;
      EXPECT_LT(Count(r.out, "\n"), row.max_lines) << r.out;
      // Up to the first block: the status lines of the dial (an error is not cut).
      for (const std::string& line : ScreenLines(r.out.substr(0, r.out.find("bloc ")))) {
        if (line.rfind("xmodemq:", 0) != 0) {
          EXPECT_LT(Width(line), first) << line;
        }
      }
      const auto lines = ScreenLines(r.out);
      const auto bar = std::find_if(lines.rbegin(), lines.rend(), [](const std::string& line) {
        return line.find("bloc ") != std::string::npos;
      });
      if (bar != lines.rend()) {
        EXPECT_GT(Count(r.out, "\r\033[K"), 10u);
        EXPECT_LT(Width(*bar), last) << *bar;
        // The bar itself only where there is room for it.
        EXPECT_EQ(bar->find("[####") != std::string::npos, last >= 80) << *bar;
      }
    }
    if (!row.again.empty()) {
      const Outcome again =
          Process(Expand(row.again, d, {XMODEMQ_PATH}, run.sim.get()), run.env).Wait(60s);
      EXPECT_EQ(again.status, 0) << again.All();
      Said(again.err, row.again_said);
    }
    if (row.check) row.check(r, d);
    if (row.dials) {
      EXPECT_EQ(Count(run.sim->Log(), "simulateur : numérotation"), *row.dials);
    }
    if (!row.logged.empty()) {
      run.sim->Await(row.logged.back(), 5s);
      const std::string log = run.sim->Log();
      std::size_t at = 0;
      for (const std::string& text : row.logged) {
        at = log.find(text, at);
        EXPECT_NE(at, std::string::npos) << text << " in order in\n" << log;
        if (at == std::string::npos) break;
        at += text.size();
      }
    }
    if (row.left.count("=") != 0) {
      EXPECT_EQ(ReadTree(d), run.before);
      if (run.sim) {
        EXPECT_EQ(run.sim->Openings(), 0u) << "a call was made";
      }
      continue;
    }
    Tree want = row.left;
    want.insert({{"store/", ""}, {"tmp/", ""}});
    if (run.sim && run.sim->Link() == (d / "modem").string()) want["modem"] = "@";
    Tree got = ReadTree(d);
    for (const auto& [name, content] : want) {
      if (content != "*") continue;
      auto at = got.lower_bound(name);
      const bool any = at != got.end() && at->first.rfind(name, 0) == 0;
      while (at != got.end() && at->first.rfind(name, 0) == 0) at = got.erase(at);
      if (any) got[name] = "*";
    }
    EXPECT_EQ(got, want);
  }
}

// clang-format off
Row UsageRow(const std::vector<std::string>& args) {
  return {"usage: " + (args.empty() ? "" : args[0]), {}, {}, args, 2, {args.empty() ? "Utilisation : xmodemq" : "Voir « xmodemq --help »"}};
}
// clang-format on

// Broken off by a signal once the first blocks are in: a partial file of
// whole blocks from the start of the file, that a rerun resumes.
Row SignalRow(int signo, int status, const std::string& name) {
  static const std::string bill = BillingRecords(200, 13);
  return {.what = name,
          .simulator = {"--baud", "19200"},
          .files = {{"store/FACT0002", bill}},
          .args = {"receive", "LINE", "D/FACT0002.TXT", "--progress"},
          .status = status,
          .said = {"Interrompu (" + name, "relancez la même commande pour reprendre"},
          .left = {{kPartial, "*"}, {"store/FACT0002", bill}},
          .during =
              [signo](Process& client, const fs::path& d, Simulator* sim) {
                if (signo == SIGHUP) {
                  // Meanwhile a second receive of the same file is refused, without a call.
                  const Outcome second = Process(Expand({"receive", "LINE", "D/FACT0002.TXT"}, d),
                                                 {{"XMODEMQ_PASSWORD", kSecret}})
                                             .Wait(30s);
                  EXPECT_EQ(second.status, 2) << second.All();
                  EXPECT_NE(second.err.find("une autre réception de "), std::string::npos);
                  EXPECT_EQ(sim->Openings(), 1u);
                }
                client.Signal(signo);
              },
          .check =
              [](const Outcome&, const fs::path& d) {
                const std::string held = ReadFile(d / kPartial / "FACT0002.TXT");
                EXPECT_GT(held.size(), 0u);
                EXPECT_EQ(held.size() % 128, 0u);
                EXPECT_EQ(held, bill.substr(0, held.size()));
              }};
}

// The progress of a send on a terminal of `columns` (0: no size given).
Row ProgressRow(unsigned short columns, unsigned short resize = 0) {
  static const std::string bill = BillingRecords(200, 17);
  return {.what = "progress at " + std::to_string(columns) + " then " + std::to_string(resize),
          .simulator = {"--baud", "38400"},
          .files = {{"FACT0001.TXT", bill}},
          .args = {"send", "LINE", "D/FACT0001.TXT"},
          .status = 0,
          .said = {"bloc 200/200"},
          .left = {{"FACT0001.TXT", bill}, {"store/FACT0001", bill}},
          .columns = columns,
          .resize = resize};
}

// The password typed at its prompt, then Enter or Ctrl-C.
Row PromptRow(const std::string& end, int status, const std::vector<std::string>& said) {
  return {.what = "prompt ended by " + std::to_string(end[0]),
          .args = {"receive", "D/f", "--user", "u", "--device", "D/absent"},
          .status = status,
          .said = said,
          .left = {},
          .env = {{"XMODEMQ_PASSWORD", std::nullopt}},
          .columns = 80,
          .during =
              [end](Process& term, const fs::path&, Simulator*) {
                // Echo goes off once the prompt shows, once the prompt has set it.
                for (int i = 0; i < 500 && term.EchoOn(); ++i) term.Pump(10ms);
                EXPECT_FALSE(term.EchoOn());
                term.Type(kSecret + end);
              },
          .cue = "Mot de passe : "};
}

TEST(Command, EachRunEndsAsTheUserMustFindIt) {
  const std::string odd = kBill.substr(0, 40 * 128 + 16);
  const std::string big(5'242'896, 'a');
  const std::string end_block_over_127 = std::string(128, 'A') + '\xff' + std::string(127, 'B');
  const std::string bill20 = kBill.substr(0, 20 * 128);
  const std::string iac = WithIacInEveryBlock(kBill);
  const std::string id40 = "PS0001-" + std::string(33, 'X');
  const std::string help = "\n  2    refusé avant tout appel";
  std::vector<std::string> batch_log = {"numérotation : "};
  for (const char* name : {"FACT0001", "FACT0002", "FACT0003"})
    batch_log.insert(batch_log.end(), {"envoi de « " + std::string(name) + " »",
                                       "transfert de « " + std::string(name) + " » terminé"});
  batch_log.push_back("client : port fermé");
  RunTable({
      // clang-format off
      // A row run twice first, the longest next: the others run on meanwhile.
      {.what = "a receive cut midway, run again", .simulator = {"--cut-after", "21"}, .files = {{"store/FACT0002", kBill}}, .args = {"receive", "LINE", "D/FACT0002.TXT"}, .status = 3, .said = {"Xmodem: ReceiveFile: La ligne est coupée", "20 blocs de 128 octets sont gardés dans ", kPartial + "FACT0002.TXT ; relancez la même commande pour reprendre"}, .left = {{"FACT0002.TXT", kBill}, {"store/FACT0002", kBill}}, .again = {"receive", "LINE", "D/FACT0002.TXT", "--progress"}, .again_said = {"Reprise après les 20 blocs déjà reçus", "bloc 21,"}, .logged = {"numérotation : ", "réception de « FACT0002 »", "coupure de la ligne", "numérotation : ", "réception de « FACT0002 » par « PS0001 », reprise demandée", "transfert de « FACT0002 » terminé, 40 trames"}},
      // clang-format on
      {.what = "the demo on an 80-column terminal",
       .args = {"demo", "--records", "64", "--dir", "D/demo"},
       .status = 0,
       .said = {"La ligne est coupée", "garde 32 blocs (4096 octets)", "bloc 64/64"},
       .left = {{"demo/", "*"}},
       .columns = 80,
       .max_lines = 70,
       .check =
           [](const Outcome& r, const fs::path& d) {
             // The modem dialogue of each of the three calls; the files, compared once more.
             EXPECT_EQ(Count(r.out, "modem> CONNECT"), 3u);
             EXPECT_EQ(Count(r.out, "identique\r\n"), 4u);
             for (const std::string& line : ScreenLines(r.out)) EXPECT_LT(Width(line), 80u) << line;
             const std::string bill = ReadFile(d / "demo/FACT0001.TXT");
             EXPECT_EQ(bill.size(), 64u * 128);
             for (const char* copy :
                  {"demo/retour/FACT0001.TXT", "demo/reprise/FACT0001.TXT", "demo/FACT0001.UNP"})
               EXPECT_EQ(ReadFile(d / copy), bill) << copy;
           }},
      // clang-format off
      {"help", {}, {}, {"--help"}, 0, {help, "\n  3    ligne ou modem", "\n  4    transfert refusé", "\n  129  interrompu par SIGHUP", "\n  130  interrompu par Ctrl-C", "\n  143  interrompu par SIGTERM"}},
      {"help", {}, {}, {"help"}, 0, {help}},
      {"help", {}, {}, {"-h"}, 0, {help}},
      {"help of send", {}, {}, {"send", "--help"}, 0, {"Utilisation : xmodemq send FICHIER... --user ID", "--pad", "--password-file", "Exemple :\n  xmodemq send ", "!--replace", "!--listen", "!\n  2    refusé"}},
      {"help of receive", {}, {}, {"help", "receive"}, 0, {"Utilisation : xmodemq receive", "--replace", "Exemple :\n  xmodemq receive ", "!--pad "}},
      {"help of simulate", {}, {}, {"-h", "simulate"}, 0, {"Utilisation : xmodemq simulate", "--accounts FICHIER", "--allow-remote", "--idle-timeout S", "Exemple :\n  xmodemq simulate ", "!--user ID "}},
      {"help of pack", {}, {}, {"pack", "--help"}, 0, {"Utilisation : xmodemq pack SOURCE COMPACTÉ", "Exemple :\n  xmodemq pack ", "!--device"}},
      UsageRow({"help", "fly"}),
      {"a port that is not a number", {}, {}, {"send", "f", "--user", "u", "--port", "abc"}, 2, {"--port attend le numéro du port série, un nombre de 1 à 255 (reçu « abc »)", "!2147483647"}},
      {"version", {}, {}, {"--version"}, 0, {"xmodemq 1.", std::string("Numéro du serveur : ") + xmodemquarvel::kServerNumber + "\n"}},
      UsageRow({}), UsageRow({"-q"}), UsageRow({"fly"}), UsageRow({"send"}), UsageRow({"send", "f"}),
      UsageRow({"send", "f", "--user"}), UsageRow({"pack", "only-one"}),
      UsageRow({"send", "f", "--user", "u", "--attempts", "x"}),
      UsageRow({"pack", "a", "b", "--device", "/dev/null"}),
      UsageRow({"send", "f", "--user", "u", "--frobnicate"}), UsageRow({"simulate"}),
      UsageRow({"simulate", "--link", "m", "--listen", "127.0.0.1:0"}),
      UsageRow({"send", "f", "--user", "u", "--device", "/dev/null", "--port", "1"}),
      {"a password as an argument", {}, {}, {"send", "f", "--user", "u", "--password", kSecret}, 2, {"jamais en argument", "--password-file"}},
      {"a password as an argument, first", {}, {}, {std::string("--password=") + kSecret, "receive", "f", "--user", "u"}, 2, {"jamais en argument"}},
      {"options before the subcommand", {}, {}, {"--settings", "9600,Z,8,1", "receive", "D/f", "--user", "u"}, 2, {"Les paramètres 9600,Z,8,1 ne sont pas valides"}},
      {"options after the subcommand", {}, {}, {"receive", "--user=u", "D/f", "--settings=9600,Z,8,1"}, 2, {"Les paramètres 9600,Z,8,1 ne sont pas valides"}},
      {"a port that the component refuses", {}, {}, {"receive", "D/f", "--user", "u", "--port", "0"}, 2, {"Le port 0 n'est pas disponible"}},
      {"no password anywhere", {}, {}, {"receive", "D/f", "--user", "u", "--device", "D/absent"}, 2, {"XMODEMQ_PASSWORD", "--password-file", "!Connexion"}, {{"=", ""}}, {{"XMODEMQ_PASSWORD", std::nullopt}}},
      {"a password file that does not exist", {}, {}, {"receive", "D/f", "--user", "u", "--password-file", "D/absent"}, 2, {"fichier de mot de passe"}},
      {"a password file that others can read, a device that does not exist", {}, {{"pw", "x\n"}}, {"receive", "D/f", "--user", "u", "--password-file", "D/pw", "--device", "D/absent"}, 1, {"lisible par d'autres utilisateurs", "Connexion impossible", "n'existe pas"}, {{"=", ""}}, {{"XMODEMQ_PASSWORD", std::nullopt}}},
      {"simulate with an unknown fault", {}, {}, {"simulate", "--link", "D/m2", "--fault", "gremlins=3"}, 2, {"panne inconnue"}},
      {"simulate onto a file that is not a link", {}, {{"m2", "precious"}}, {"simulate", "--link", "D/m2"}, 1, {"m2 existe et n'est pas un lien symbolique : il est laissé tel quel"}},
      {"simulate onto a link that another simulator serves", {}, {}, {"simulate", "--link", "D/modem"}, 2, {"modem est servi par un autre simulateur en marche : il est laissé tel quel"}},
      {"simulate on a port beyond 65535", {}, {}, {"simulate", "--listen", "127.0.0.1:99999"}, 2, {"le port doit être un nombre de 1 à 65535, ou 0 pour un port libre (reçu « 99999 »)"}},
      {"simulate on a port by name", {}, {}, {"simulate", "--listen", "localhost:telnet"}, 2, {"le port doit être un nombre de 1 à 65535"}},
      {"simulate on every IPv4 interface", {}, {}, {"simulate", "--listen", "0.0.0.0:0"}, 2, {"accepterait des clients d'autres machines", "--allow-remote"}},
      {"simulate on every IPv6 interface", {}, {}, {"simulate", "--listen", "[::]:0"}, 2, {"--allow-remote"}},
      {"simulate on every interface", {}, {}, {"simulate", "--listen", "*:2217"}, 2, {"--allow-remote"}},
      {"simulate with a password on its command line", {}, {}, {"simulate", "--link", "D/m2", "--account", "u:motdepasse"}, 2, {"--account n'existe plus", "--accounts FICHIER"}},
      {"simulate with an accounts file that is missing", {}, {}, {"simulate", "--link", "D/m2", "--accounts", "D/absent"}, 2, {"lire le fichier des comptes", "absent"}},
      {"simulate with an accounts file without accounts", {}, {{"accounts", "\npersonne\n"}}, {"simulate", "--link", "D/m2", "--accounts", "D/accounts"}, 2, {"accounts, ligne 2 : UTILISATEUR:MOT_DE_PASSE attendu"}},
      {"simulate serving a hidden file", {}, {{".secret", "x"}}, {"simulate", "--link", "D/m2", "--serve", "D/.secret"}, 2, {"le serveur ne sert aucun nom qui commence par un point"}},
      {"demo of an empty file", {}, {}, {"demo", "--records", "0"}, 2, {"--records doit être un entier de 1 à 100000"}},
      // Mistakes refused before the call, with exit 2, or failures without harm.
      {"send of a mistyped name", {}, {}, {"send", "LINE", "D/nosuch.txt"}, 2, {"nosuch.txt n'existe pas : rien n'est envoyé"}},
      {"send of a 5 242 896-byte file", {}, {{"big.txt", big}}, {"send", "LINE", "D/big.txt"}, 2, {"big.txt fait 5 242 896 octets", "ses 16 derniers octets ne partiraient pas", "--pad envoie une copie complétée par des espaces jusqu'à 5 243 008 octets"}},
      {"send of an empty file", {}, {{"empty.txt", ""}}, {"send", "LINE", "D/empty.txt"}, 2, {"empty.txt est vide"}},
      {"send of a folder", {}, {{"dir/", ""}}, {"send", "LINE", "D/dir"}, 2, {"dir est un dossier, pas un fichier"}},
      {"send of an unreadable file", {}, {{"secret.txt", kBill}}, {"send", "LINE", "D/secret.txt"}, 2, {"Impossible de lire ", "secret.txt : accès refusé"}, {{"=", ""}}, FailureEnv("secret.txt:" + std::to_string(EACCES))},
      {"a file name beginning with a dash, after --", {}, {}, {"send", "LINE", "--", "--quiet"}, 2, {"--quiet n'existe pas"}},
      {"receive into an existing unrelated file", {}, {{"FACT0001.TXT", "mes notes"}}, {"receive", "LINE", "D/FACT0001.TXT"}, 2, {"FACT0001.TXT existe déjà : la réception ne l'écrase pas et n'y ajoute rien", "--replace le remplace une fois la réception terminée"}},
      {"receive of the same name again the next day", {}, {{"FACT0001.TXT", kBill}}, {"receive", "LINE", "D/FACT0001.TXT"}, 2, {"FACT0001.TXT existe déjà"}},
      {"receive into a folder that does not exist", {}, {}, {"receive", "LINE", "D/nodir/FACT0001.TXT"}, 2, {"le dossier ", "nodir n'existe pas"}},
      {"receive into a read-only folder", {}, {{"ro/", ""}}, {"receive", "LINE", "D/ro/FACT0001.TXT"}, 2, {"Impossible d'écrire dans le dossier ", "ro : système de fichiers en lecture seule"}, {{"=", ""}}, FailureEnv("/ro/:" + std::to_string(EROFS))},
      {"receive after its partial file was damaged", {}, {{kPartial + "FACT0001.TXT", kBill.substr(0, 512) + "x"}}, {"receive", "LINE", "D/FACT0001.TXT"}, 2, {"513 octets, pas un nombre entier de blocs de 128 : supprimez-le"}},
      {"a user id that the line cannot carry", {}, {}, {"receive", "LINE", "D/F.TXT", "--user", "Łukasz"}, 2, {"l'identifiant « Łukasz » contient « Ł », que la ligne (code Windows-1252) ne peut pas transmettre"}},
      {"a file name that the line cannot carry", {}, {{"Dvořák.TXT", kBill}}, {"send", "LINE", "D/Dvořák.TXT"}, 2, {"le nom du fichier pour le serveur « Dvořák » contient « ř »"}},
      {"a file name that leaves the server no name", {}, {{".TXT", kBill}}, {"send", "LINE", "D/.TXT"}, 2, {"ne donne aucun nom au serveur"}},
      {"pack same.dat same.dat", {}, {{"same.dat", kBill}}, {"pack", "D/same.dat", "D/./same.dat"}, 2, {"sont le même fichier"}},
      {"pack onto a folder", {}, {{"bill.txt", kBill}, {"out/", ""}}, {"pack", "D/bill.txt", "D/out"}, 2, {"out est un dossier"}},
      {"pack of a missing source", {}, {{"out.pk", "ancien"}}, {"pack", "D/absent", "D/out.pk"}, 2, {"absent n'existe pas"}},
      {"pack of a folder", {}, {{"out.pk", "ancien"}}, {"pack", "D/", "D/out.pk"}, 2, {"est un dossier"}},
      {"unpack of a file that is not packed", {}, {{"notes.txt", "pas compacté"}, {"out", "ancien"}}, {"unpack", "D/notes.txt", "D/out"}, 2, {"notes.txt n'est pas un fichier compacté valide : sa taille (13 octets)"}},
      {"unpack of a packed file whose end block is wrong", {}, {{"bad.pk", end_block_over_127}, {"out", "ancien"}}, {"unpack", "D/bad.pk", "D/out"}, 1, {"xmodemq: Décompactage : ", "bad.pk n'est pas un fichier compacté valide", "out est laissé tel quel"}},
      {"pack onto a full disk", {}, {{"bill.txt", kBill}, {"full/bill.pk", "ancien"}}, {"pack", "D/bill.txt", "D/full/bill.pk"}, 1, {"Impossible d'écrire ", "full/bill.pk : disque plein ; ", "bill.pk est laissé tel quel"}, {{"=", ""}}, FailureEnv("", "/full/:200")},
      {"demo on a disk that fills at its file", {}, {}, {"demo", "--records", "16", "--dir", "D/demo"}, 1, {"xmodemq: demo : Impossible d'écrire ", "FACT0001.TXT : disque plein", "!Résumé"}, {{"demo/", "*"}}, FailureEnv("", "/FACT0001.TXT:1000")},
      {"demo on a disk that fills at a received copy", {}, {}, {"demo", "--records", "16", "--dir", "D/demo"}, 1, {"xmodemq: demo : Impossible d'écrire ", "retour/FACT0001.TXT : disque plein", "!Résumé"}, {{"demo/", "*"}}, FailureEnv("", "/retour/:1000")},
      {"demo on a disk that fills at the unpacked file", {}, {}, {"demo", "--records", "16", "--dir", "D/demo"}, 1, {"xmodemq: demo : Impossible d'écrire ", "FACT0001.UNP : disque plein", "!Résumé"}, {{"demo/", "*"}}, FailureEnv("", "/FACT0001.UNP:1000")},
      // Calls, and what each leaves.
      {"send of a file that is not whole records, with --pad", {}, {{"FACT0009.TXT", odd}}, {"send", "LINE", "D/FACT0009.TXT", "--pad"}, 0, {"FACT0009.TXT envoyé complété par 112 espaces : 41 blocs de 128 octets"}, {{"FACT0009.TXT", odd}, {"store/FACT0009", odd + std::string(112, ' ')}}},
      {"receive of the same name again, with --replace, through a damaged frame", {"--fault", "corrupt-frame=5"}, {{"FACT0002.TXT", "hier"}, {"store/FACT0002", kBill}}, {"receive", "LINE", "D/FACT0002.TXT", "--replace"}, 0, {"FACT0002.TXT reçu : 60 blocs de 128 octets"}, {{"FACT0002.TXT", kBill}, {"store/FACT0002", kBill}}},
      {"a disk that fills during a receive", {}, {{"store/FACT0002", kBill}}, {"receive", "LINE", "D/FACT0002.TXT"}, 1, {"xmodemq: Impossible d'écrire ", kPartial + "FACT0002.TXT : disque plein", "1 blocs de 128 octets sont gardés"}, {{kPartial, ""}, {kPartial + "FACT0002.TXT", kBill.substr(0, 128)}, {"store/FACT0002", kBill}}, FailureEnv("", ".xmodemq-partiel:200")},
      {"a busy line, then the call goes through, with a modem that does not echo", {"--dial-answer", "BUSY,CONNECT 9600", "--echo", "off"}, {{"FACT0001.TXT", kBill}}, {"send", "LINE", "D/FACT0001.TXT"}, 0, {"Appel du serveur…\nLigne occupée (BUSY) : le modem attend jusqu'à 1 min 45 s\nConnecté (CONNECT 9600).\n", "FACT0001.TXT envoyé : 60 blocs de 128 octets"}, {{"FACT0001.TXT", kBill}, {"store/FACT0001", kBill}}},
      {"busy and no carrier, then a new dial; a 40-character user id and a 17-character name", {"--dial-answer", "BUSY,NO CARRIER", "--dial-answer", "CONNECT 9600"}, {{"store/FACTURE_JANVIER_2", kBill}}, {"receive", "LINE", "D/FACTURE_JANVIER_2.TXT", "--attempts", "1", "--user", id40}, 0, {"Ligne occupée (BUSY)", "\n« NO CARRIER », nouvel essai (2 sur 2)…\n", "Connecté (CONNECT 9600).", "!attention"}, {{"FACTURE_JANVIER_2.TXT", kBill}, {"store/FACTURE_JANVIER_2", kBill}}},
      {"no dial tone", {"--dial-answer", "NO DIALTONE"}, {}, {"receive", "LINE", "D/F.TXT", "--trace"}, 3, {"Xmodem: Connect: Pas de tonalité", "xmodemq: dernière réponse du modem à l'appel : « NO DIALTONE »"}, {}},
      {.what = "a wrong password", .simulator = {"--accounts", "D/accounts"}, .files = {{"accounts", "PS0001:le-bon\r\n\nPS0002:autre\n"}}, .args = {"receive", "LINE", "D/F.TXT"}, .status = 4, .said = {"Xmodem: ReceiveFile: Transfert refusé, status 3", "xmodemq: le serveur refuse le transfert : mot de passe erroné (status 3)"}, .left = {{"accounts", "PS0001:le-bon\r\n\nPS0002:autre\n"}}, .logged = {"attention : ", "accounts est lisible par d'autres utilisateurs", "réception de « F » par « PS0001 », reprise non, statut 3"}},
      {.what = "the right password", .simulator = {"--accounts", "D/accounts"}, .files = {{"accounts", "PS0002:autre\nPS0001:" + std::string(kSecret) + "\n"}, {"FACT0001.TXT", bill20}}, .args = {"send", "LINE", "D/FACT0001.TXT"}, .status = 0, .said = {"FACT0001.TXT envoyé : 20 blocs"}, .left = {{"accounts", "PS0002:autre\nPS0001:" + std::string(kSecret) + "\n"}, {"FACT0001.TXT", bill20}, {"store/FACT0001", bill20}}},
      // The server never stores nor serves a hidden name or one that holds a path.
      {"a send of a hidden name", {}, {{".profile.x", kBill}}, {"send", "LINE", "D/.profile.x"}, 4, {"Transfert refusé, status 8"}, {{".profile.x", kBill}}},
      {"a receive of a hidden name", {}, {{"store/.hidden", kBill}}, {"receive", "LINE", "D/.hidden.TXT"}, 4, {"Transfert refusé, status 6"}, {{"store/.hidden", kBill}}},
      {"a 45-character user id and a 23-character base name", {}, {{"FACTURE_JANVIER_2024_01.TXT", kBill}}, {"send", "LINE", "D/FACTURE_JANVIER_2024_01.TXT", "--user", id40 + "XXXXX"}, 0, {"attention : l'identifiant « PS0001-XXX", "» a 45 caractères ; la ligne n'en porte que 40", "attention : le nom du fichier pour le serveur « FACTURE_JANVIER_2024_01 » a 23 caractères ; la ligne n'en porte que 17 : le serveur recevra « FACTURE_JANVIER_2 »\nInitialisation du modem…"}, {{"FACTURE_JANVIER_2024_01.TXT", kBill}, {"store/FACTURE_JANVIER_2", kBill}}},
      {"a send that resumes after what the server holds", {"--serve", "D/half/FACT0007.TXT", "--resume-sends"}, {{"half/FACT0007.TXT", kBill.substr(0, 12 * 128)}, {"FACT0007.TXT", kBill.substr(0, 30 * 128)}}, {"send", "LINE", "D/FACT0007.TXT", "--progress"}, 0, {"envoyé : 18 blocs de 128 octets", "bloc 13/30", "bloc 30/30"}, {{"half/", ""}, {"half/FACT0007.TXT", kBill.substr(0, 12 * 128)}, {"FACT0007.TXT", kBill.substr(0, 30 * 128)}, {"store/FACT0007", kBill.substr(0, 30 * 128)}}},
      {.what = "a remote line cut midway, run again", .simulator = {"--listen", "127.0.0.1:0", "--cut-after", "21"}, .files = {{"store/FACT0002", kBill}}, .args = {"receive", "LINE", "D/FACT0002.TXT", "--trace"}, .status = 3, .said = {"La ligne est coupée", "20 blocs de 128 octets sont gardés", "perdue : connexion"}, .left = {{"FACT0002.TXT", kBill}, {"store/FACT0002", kBill}}, .again = {"receive", "LINE", "D/FACT0002.TXT"}, .again_said = {"Reprise après les 20 blocs déjà reçus"}, .logged = {"numérotation : ", "coupure de la connexion", "numérotation : ", "transfert de « FACT0002 » terminé, 40 trames"}},
      {.what = "a remote line, 0xFF in every block both ways", .simulator = {"--listen", "127.0.0.1:0"}, .files = {{"FACT0005.TXT", iac}, {"back/", ""}}, .args = {"send", "LINE", "D/FACT0005.TXT", "--trace"}, .status = 0, .said = {"FACT0005.TXT envoyé : 60 blocs", "!Ligne distante"}, .left = {{"FACT0005.TXT", iac}, {"store/FACT0005", iac}, {"back/", ""}, {"back/FACT0005.TXT", iac}}, .again = {"receive", "LINE", "D/back/FACT0005.TXT"}},
      {.what = "a batch of three sends on one call", .files = {{"FACT0001.TXT", bill20}, {"FACT0002.TXT", odd}, {"FACT0003.TXT", kBill}}, .args = {"send", "LINE", "D/FACT0001.TXT", "D/FACT0002.TXT", "D/FACT0003.TXT", "--pad"}, .status = 0, .said = {"FACT0003.TXT envoyé : 60 blocs"}, .left = {{"FACT0001.TXT", bill20}, {"FACT0002.TXT", odd}, {"FACT0003.TXT", kBill}, {"store/FACT0001", bill20}, {"store/FACT0002", odd + std::string(112, ' ')}, {"store/FACT0003", kBill}}, .dials = 1, .logged = batch_log},
      {.what = "a batch of three sends on one call over a remote line", .simulator = {"--listen", "127.0.0.1:0"}, .files = {{"FACT0001.TXT", bill20}, {"FACT0002.TXT", odd}, {"FACT0003.TXT", kBill}}, .args = {"send", "LINE", "D/FACT0001.TXT", "D/FACT0002.TXT", "D/FACT0003.TXT", "--pad"}, .status = 0, .said = {"FACT0003.TXT envoyé : 60 blocs"}, .left = {{"FACT0001.TXT", bill20}, {"FACT0002.TXT", odd}, {"FACT0003.TXT", kBill}, {"store/FACT0001", bill20}, {"store/FACT0002", odd + std::string(112, ' ')}, {"store/FACT0003", kBill}}, .dials = 1, .logged = batch_log},
      {.what = "a batch of receives stopped by a file the server lacks", .files = {{"store/FACT0001", bill20}, {"store/FACT0003", kBill}}, .args = {"receive", "LINE", "D/FACT0001.TXT", "D/FACT0009.TXT", "D/FACT0003.TXT"}, .status = 4, .said = {"1 fichier sur 3 transféré : ", "FACT0001.TXT."}, .left = {{"FACT0001.TXT", bill20}, {"store/FACT0001", bill20}, {"store/FACT0003", kBill}}, .dials = 1},
      {.what = "pack then unpack, through temporary files", .files = {{"bill.txt", kBill}, {"bill.out", "ancien"}}, .args = {"pack", "D/bill.txt", "D/bill.pk", "--progress"}, .status = 0, .said = {"bloc 60/60"}, .left = {{"bill.txt", kBill}, {"bill.pk", "*"}, {"bill.out", kBill}}, .again = {"unpack", "D/bill.pk", "D/bill.out"}, .again_said = {"bill.pk (", "blocs) décompacté dans ", "bill.out : 60 blocs de 128 octets.", "!bloc "}},
      // clang-format on
      // Rows that wait for a cue come last, to start last: the others run on meanwhile.
      {.what = "a send with its password from a file, not on its command line",
       .simulator = {"--baud", "19200"},
       .files = {{"pw", std::string(kSecret) + "\n"}, {"FACT0004.TXT", bill20}},
       .args = {"send", "D/FACT0004.TXT", "--user", "PS0001", "--password-file", "D/pw", "--device",
                "D/modem", "--trace", "--progress"},
       .status = 0,
       .said = {"Connecté", "lisible par d'autres utilisateurs"},
       .left = {{"pw", std::string(kSecret) + "\n"},
                {"FACT0004.TXT", bill20},
                {"store/FACT0004", bill20}},
       .env = {{"XMODEMQ_PASSWORD", std::nullopt}},
       .during =
           [](Process& client, const fs::path&, Simulator*) {
             std::ifstream in("/proc/" + std::to_string(client.Pid()) + "/cmdline");
             const std::string cmdline(std::istreambuf_iterator<char>(in), {});
             EXPECT_NE(cmdline.find("--password-file"), std::string::npos) << client.ErrSoFar();
             EXPECT_EQ(cmdline.find(kSecret), std::string::npos);
           }},
      // clang-format off
      ProgressRow(80, 40), ProgressRow(40), ProgressRow(20), ProgressRow(80), ProgressRow(0),
      SignalRow(SIGHUP, 129, "SIGHUP"), SignalRow(SIGTERM, 143, "SIGTERM"), SignalRow(SIGINT, 130, "Ctrl-C"),
      PromptRow("\r", 1, {"Connexion impossible"}), PromptRow("\x03", 130, {}),
      // clang-format on
  });
}

// What a session shows on a terminal while its modem dials, on the virtual
// clock: a real time-out costs no real time.
struct Dial {
  std::string what;
  std::vector<std::vector<std::string>> answers;
  std::chrono::seconds answer_delay;
  int32_t attempts;
  xmodemquarvel::ReturnValues result;
  std::vector<std::string> shown;
  std::size_t columns = 80;
  std::string init = {};
};

TEST(Command, TheStatusLineFollowsTheModemWithTheTimeLeft) {
  // clang-format off
  const std::vector<Dial> rows = {
      // The dial goes out after the pause of 1 s that follows the reset.
      {"no answer at all", {{}}, 0s, 0, rvFalse, {"Initialisation du modem…\r\033[KAppel du serveur… réponse attendue sous 1 min 01 s", "sous 59 s", "sous 1 s", "Appel sans réponse, nouvel essai (2 sur 2)… sous 1 min 00 s", "Xmodem: Connect: Le modem n'a pas répondu dans le délai imparti", "xmodemq: le modem n'a rien répondu à l'appel"}},
      // Narrower, the wording shortens and the countdown stays.
      {"no answer, in 40 columns", {{}}, 0s, 0, rvFalse, {"Appel du serveur… sous 1 min 01 s", "Nouvel essai (2 sur 2)… sous 1 min 00 s", "sous 1 s"}, 40},
      {"no answer, in 20 columns", {{}}, 0s, 0, rvFalse, {"Appel… 1 min 01 s", "2/2… 1 min 00 s", "2/2… 1 s"}, 20},
      {"busy, in 30 columns", {{"BUSY"}}, 10s, 0, rvFalse, {"BUSY : encore 1 min 45 s", "BUSY : encore 1 s"}, 30},
      {"busy, then nothing", {{"BUSY"}}, 10s, 0, rvFalse, {"réponse attendue sous 51 s", "Ligne occupée (BUSY) : le modem attend encore 1 min 45 s", "attend encore 1 s", "Appel sans réponse, nouvel essai (2 sur 2)", "xmodemq: dernière réponse du modem à l'appel : « BUSY »"}},
      // With an initialisation string the dial follows its OK at once.
      {"an information line, delayed, then connected", {{"RINGING", "DELAYED 2", "CONNECT 9600"}}, 20s, 3, rvTrue, {"Initialisation du modem…\r\033[KAppel du serveur… réponse attendue sous 1 min 00 s", "Appel différé (DELAYED) : le modem attend encore 1 min 45 s", "attend encore 1 min 26 s", "Connecté (CONNECT 9600)."}, 80, "AT&F"},
      {"no carrier, then connected", {{"NO CARRIER"}, {"CONNECT 9600"}}, 0s, 1, rvTrue, {"« NO CARRIER », nouvel essai (2 sur 2)… sous 1 min 00 s", "Connecté (CONNECT 9600)."}},
  };
  // clang-format on
  for (const Dial& row : rows) {
    SCOPED_TRACE(row.what);
    auto clock = std::make_shared<xmodemquarvel::VirtualClock>();
    auto port = std::make_unique<sim::SimulatedSerialPort>(clock);
    sim::ModemScript script;
    script.dial_answers = row.answers;
    script.dial_delay = row.answer_delay;
    sim::SimulatedModem modem(*port, script);
    port->AttachPeer(&modem);
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = ::open_memstream(&text, &size);
    {
      Options options;
      options.attempts = row.attempts;
      options.init = row.init;
      Session session(options, {clock, std::move(port), out, true, [&row] { return row.columns; }});
      EXPECT_EQ(session.Connect(), row.result);
      if (row.result != rvTrue) session.ReportFailure();
    }
    std::fclose(out);
    const std::string screen(text, size);
    std::free(text);
    Said(screen, row.shown);
    for (const std::string& line : ScreenLines(screen)) {
      if (line.rfind("Xmodem:", 0) != 0 && line.rfind("xmodemq:", 0) != 0) {
        EXPECT_LT(Width(line), row.columns) << line;
      }
    }
  }
}

TEST(Command, ProgressInLinesComesOncePerSecond) {
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* out = ::open_memstream(&text, &size);
  {
    auto clock = std::make_shared<xmodemquarvel::VirtualClock>();
    xmodemq::Progress progress(out, ProgressMode::Lines, "Réception", 4, {}, clock);
    progress.Block(1);
    clock->Advance(999ms);
    progress.Block(2);
    clock->Advance(1ms);
    progress.Block(3);
    progress.Finish();
  }
  std::fclose(out);
  const std::string lines(text, size);
  std::free(text);
  // The first block, the first a second after it, the end.
  EXPECT_EQ(Count(lines, "\n"), 3u) << lines;
  EXPECT_EQ(Count(lines, "bloc 2/4"), 0u) << lines;
  EXPECT_EQ(Count(lines, "bloc 3/4, 384 o/s, reste 0 s\n"), 1u) << lines;
}

// A window narrowed under a redrawn line: the line, drawn one column short of
// the old width, now wraps onto more rows; its redraw goes back up over all of
// them and clears them, and never writes past the new width.
TEST(Command, ARedrawnLineClearsAllItTookAfterAResize) {
  // 0: one column narrower than the line drawn, which then takes two rows.
  for (const auto& [before, narrower] : {std::pair<std::size_t, std::size_t>{80, 40},
                                         {80, 20},
                                         {80, 79},
                                         {40, 80},
                                         {100, 33},
                                         {80, 0}}) {
    SCOPED_TRACE(std::to_string(before) + " then " + std::to_string(narrower));
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = ::open_memstream(&text, &size);
    std::size_t columns = before;
    auto clock = std::make_shared<xmodemquarvel::VirtualClock>();
    xmodemq::Progress progress(
        out, ProgressMode::Bar, "Envoi", 2000, [&] { return columns; }, clock);
    progress.Block(1000);
    std::fflush(out);
    const std::string first(text, size);
    const std::size_t drawn = Width(ScreenLines(first).back());
    EXPECT_LT(drawn, before);
    const std::size_t after = narrower != 0 ? narrower : drawn - 1;
    columns = after;
    clock->Advance(1s);
    progress.Block(1500);
    progress.Finish();
    std::fflush(out);
    const std::string later = std::string(text, size).substr(first.size());
    std::fclose(out);
    std::free(text);
    const std::size_t above = (drawn - 1) / after;
    const std::string clear =
        above == 0 ? "\r\033[K" : "\r\033[" + std::to_string(above) + "A\033[J";
    EXPECT_EQ(later.substr(0, clear.size()), clear) << later;
    for (const std::string& line : ScreenLines(later)) EXPECT_LT(Width(line), after) << line;
    EXPECT_NE(later.find("bloc 1500/2000"), std::string::npos) << later;
  }
}

}  // namespace
}  // namespace xmodemq::test
