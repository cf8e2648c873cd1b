#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>

#include <gtest/gtest.h>

#include "Commands.h"
#include "PackedFileCheck.h"
#include "Processes.h"
#include "Progress.h"
#include "Session.h"
#include "Sha256.h"
#include "Sqlite.h"
#include "modem/ServerNumber.h"
#include "pack/PackFiles.h"
#include "sim/SimulatedModem.h"
#include "sim/SimulatedSerialPort.h"
#include "sim/SimulatedServer.h"

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
// with '/' and maps to "", a symbolic link maps to "@", a FIFO to "|" and a
// device to "#". Made readable by all, whatever the umask.
using Tree = std::map<std::string, std::string>;

// Another user of the machine, for the rows where someone else owns files:
// made once when the tests run as root (and removed at exit), else none.
std::optional<uid_t> Intruder() {
  static const std::optional<uid_t> uid = []() -> std::optional<uid_t> {
    static constexpr const char* kName = "xmq-intrus";
    if (::geteuid() != 0) return std::nullopt;
    if (const passwd* p = ::getpwnam(kName)) return p->pw_uid;
    if (std::system("useradd --system --no-create-home --shell /usr/sbin/nologin xmq-intrus "
                    ">/dev/null 2>&1") != 0)
      return std::nullopt;
    std::atexit([] { (void)!std::system("userdel xmq-intrus >/dev/null 2>&1"); });
    if (const passwd* p = ::getpwnam(kName)) return p->pw_uid;
    return std::nullopt;
  }();
  return uid;
}

// `path` made the intruder's, with `mode` (a link keeps its own).
void Intruders(const fs::path& path, mode_t mode) {
  ASSERT_EQ(::lchown(path.c_str(), *Intruder(), *Intruder()), 0) << path;
  if (!fs::is_symlink(path)) {
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
  }
}

// "début : ...": the origin of a partial file started at `when` (a time_t),
// as the command writes it beside the file.
std::string Origin(const std::string& user, std::time_t when = std::time(nullptr)) {
  char text[32];
  std::tm parts{};
  ::gmtime_r(&when, &parts);
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return std::string("début : ") + text + "\nutilisateur : " + user +
         "\nserveur : " + xmodemquarvel::kServerNumber + "\n";
}

std::string Packed(const std::string& text) {
  std::vector<std::uint8_t> out;
  xmodemquarvel::pack::PackBuffer({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()},
                                  out);
  return {out.begin(), out.end()};
}

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
    else if (entry.is_fifo())
      tree[name] = "|";
    else if (entry.is_character_file() || entry.is_block_file())
      tree[name] = "#";
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
Env FailureEnv(const std::string& open_fail, const std::string& write_fail = {},
               const Env& more = {}) {
  const char* asan = std::getenv("ASAN_OPTIONS");
  Env env = {{"LD_PRELOAD", XMQ_FAIL_SHIM},
             {"ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0"}};
  if (!open_fail.empty()) env["XMQ_FAIL_OPEN"] = open_fail;
  if (!write_fail.empty()) env["XMQ_FAIL_WRITE"] = write_fail;
  env.insert(more.begin(), more.end());
  return env;
}

// A command run after a row's own, in the same folder.
struct Then {
  std::vector<std::string> args;
  int status;
  std::vector<std::string> said = {};
};

// The members of a transfer's JSON object, in their order.
const std::vector<std::string> kTransferMembers = {
    "id",          "call_id",      "started", "ended",       "direction",  "file",
    "server_name", "server",       "user",    "line",        "bytes",      "blocks",
    "sha256",      "resumed_from", "result",  "description", "exit_status"};

// The command run as a user runs it, in a folder D of its own beside a
// simulator of its own (D/modem, its store D/store), with D/tmp as TMPDIR,
// the password in XMODEMQ_PASSWORD and a journal of its own, elsewhere (in
// XMODEMQ_JOURNAL).
struct Row {
  std::string what;
  std::vector<std::string> simulator = {};
  Tree files = {};
  // "D/x" is x in D, "LINE" stands for --user PS0001 --device D/modem (or the
  // simulator's rfc2217:// address, given --listen).
  std::vector<std::string> args;
  int status;
  // Texts it writes; "!text" one that it must not write.
  std::vector<std::string> said = {};
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
  // Made in D after `files`: FIFOs, device nodes, links, the intruder's files.
  std::function<void(const fs::path& d)> setup = {};
  // The row needs root and a second user (Intruder()): skipped without them.
  bool two_users = false;
  // The umask the command runs with, when not the tests' own.
  std::optional<mode_t> umask = {};
  // The permission bits of paths in D afterwards.
  std::map<std::string, unsigned> modes = {};
  // With `cue`, what D must show before `during` runs.
  std::function<bool(const fs::path& d)> when = {};
  // Texts the simulator logs, in this order.
  std::vector<std::string> logged = {};
  // Commands run next, in order, before `again`.
  std::vector<Then> then = {};
  // The transfers' objects at the end, each given by some of its members
  // ("*": any value but null; a string that begins with D/ is in D): those
  // the command wrote on stdout when it has --json, else those that
  // `xmodemq journal --json` lists. Those of a transfer on stdout must be
  // the journal's own.
  std::optional<std::vector<JsonFields>> json = {};
};

const std::vector<JsonFields> kNoRow;

// The objects of `text` against what they must hold.
void ExpectObjects(const std::string& text, const std::vector<JsonFields>& want,
                   const fs::path& d) {
  const auto got = ParseJsonLines(text);
  ASSERT_TRUE(got) << "not JSON lines:\n" << text;
  ASSERT_EQ(got->size(), want.size()) << text;
  for (std::size_t i = 0; i < want.size(); ++i) {
    const JsonFields& object = (*got)[i];
    if (object.count("direction") != 0) {
      std::vector<std::string> names;
      for (const auto& member : object) names.push_back(member.first);
      std::vector<std::string> expected = kTransferMembers;
      std::sort(expected.begin(), expected.end());
      EXPECT_EQ(names, expected);
    }
    for (const auto& [name, value] : want[i]) {
      const auto at = object.find(name);
      ASSERT_NE(at, object.end()) << name << " in " << text;
      if (value == "*") {
        EXPECT_NE(at->second, "null") << name;
      } else {
        const bool in_d = value.rfind("\"D/", 0) == 0;
        EXPECT_EQ(at->second, in_d ? "\"" + (d / value.substr(3)).string() : value)
            << "member " << name << " of object " << i;
      }
    }
  }
}

// What `xmodemq journal --json` lists in that environment.
std::string JournalJson(const Env& env) {
  const Outcome r = Process({XMODEMQ_PATH, "journal", "--json"}, env).Wait(30s);
  EXPECT_EQ(r.status, 0) << r.All();
  return r.out;
}

[[maybe_unused]] std::string Sha256Of(const std::string& bytes) {
  Sha256 sha;
  sha.Update(bytes.data(), bytes.size());
  return Hex(sha.Peek());
}

// Whether D holds, at any depth, a file whose name begins with `prefix` and
// that is still smaller than `below` bytes.
bool Holds(const fs::path& d, const std::string& prefix, std::uintmax_t below = UINTMAX_MAX) {
  for (const auto& entry : fs::recursive_directory_iterator(d))
    if (entry.is_regular_file() && entry.path().filename().string().rfind(prefix, 0) == 0 &&
        entry.file_size() < below)
      return true;
  return false;
}

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
void RunTable(std::vector<Row> rows) {
  std::erase_if(rows, [](const Row& row) {
    if (!row.two_users || Intruder()) return false;
    std::printf("[  SKIPPED ] %s: needs root and a second user (useradd)\n", row.what.c_str());
    return true;
  });
  struct Run {
    TempDir dir;
    // Where the journal is, unless the row says.
    TempDir state;
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
    if (row.setup) row.setup(d);
    // A line for the rows that name one: a call there would show in its log.
    const auto& a = row.args;
    if (!row.simulator.empty() || std::count(a.begin(), a.end(), "LINE") != 0 ||
        std::count(a.begin(), a.end(), "D/modem") != 0)
      run.sim = std::make_unique<Simulator>(
          run.dir, Expand(row.simulator, d, {"--store", (d / "store").string()}));
    run.before = ReadTree(d);
    run.env = row.env;
    for (auto& [name, value] : run.env)
      if (value && value->rfind("D/", 0) == 0) value = (d / value->substr(2)).string();
    run.env.insert({{"XMODEMQ_PASSWORD", kSecret},
                    {"TMPDIR", (d / "tmp").string()},
                    {"XMODEMQ_JOURNAL", (run.state / "journal.sqlite").string()}});
    const mode_t mask = ::umask(row.umask.value_or(022));
    if (!row.umask) ::umask(mask);
    run.process = std::make_unique<Process>(Expand(row.args, d, {XMODEMQ_PATH}, run.sim.get()),
                                            run.env, fs::path(), row.columns);
    ::umask(mask);
  }
  // Each row's action as soon as its own cue shows, whatever the others do.
  std::vector<std::size_t> waiting;
  for (std::size_t i = 0; i < rows.size(); ++i)
    if (rows[i].during || rows[i].resize != 0) waiting.push_back(i);
  for (const auto until = std::chrono::steady_clock::now() + 20s;
       !waiting.empty() && std::chrono::steady_clock::now() < until;) {
    std::erase_if(waiting, [&](std::size_t i) {
      Process& process = *runs[i]->process;
      if (!process.Await(rows[i].cue, 2ms)) return false;
      if (rows[i].when && !rows[i].when(runs[i]->dir.path())) return false;
      if (rows[i].resize != 0) process.Resize(rows[i].resize);
      if (rows[i].during) rows[i].during(process, runs[i]->dir.path(), runs[i]->sim.get());
      return true;
    });
  }
  for (std::size_t i : waiting)
    ADD_FAILURE() << rows[i].what << ": never showed « " << rows[i].cue << " »\n"
                  << runs[i]->process->OutSoFar() << runs[i]->process->ErrSoFar();
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
    for (const Then& then : row.then) {
      SCOPED_TRACE(then.args.front());
      // A program named by its path runs as it is (to change a file between two commands).
      std::vector<std::string> program;
      if (then.args.front()[0] != '/') program.push_back(XMODEMQ_PATH);
      const Outcome next = Process(Expand(then.args, d, program, run.sim.get()), run.env).Wait(60s);
      EXPECT_EQ(next.status, then.status) << next.All();
      Said(next.All(), then.said);
      // A refusal prints nothing on stdout, --json or not.
      if (then.status == 2) {
        EXPECT_EQ(next.out, "");
      }
    }
    if (!row.again.empty()) {
      const Outcome again =
          Process(Expand(row.again, d, {XMODEMQ_PATH}, run.sim.get()), run.env).Wait(60s);
      EXPECT_EQ(again.status, 0) << again.All();
      Said(again.err, row.again_said);
    }
    if (row.json) {
      const bool json_out = std::count(row.args.begin(), row.args.end(), "--json") != 0;
      ExpectObjects(json_out ? r.out : JournalJson(run.env), *row.json, d);
      const auto out = ParseJsonLines(r.out);
      if (json_out && out && !out->empty() && out->front().count("direction") != 0 &&
          std::count(row.args.begin(), row.args.end(), "--no-journal") == 0) {
        const auto kept = ParseJsonLines(JournalJson(run.env));
        ASSERT_TRUE(kept);
        for (const JsonFields& object : *out) {
          const auto same = std::find_if(kept->begin(), kept->end(), [&](const JsonFields& k) {
            return k.at("id") == object.at("id");
          });
          ASSERT_NE(same, kept->end()) << object.at("id");
          EXPECT_EQ(*same, object);
        }
      }
    }
    if (row.check) row.check(r, d);
    for (const auto& [name, mode] : row.modes) {
      struct stat st {};
      EXPECT_EQ(::lstat((d / name).c_str(), &st), 0) << name;
      EXPECT_EQ(st.st_mode & 07777, mode) << name;
    }
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
              },
          .json = {{{{"result", Q("rvFalse")},
                     {"description", Q("Opération interrompue")},
                     {"exit_status", std::to_string(status)},
                     {"blocks", "*"},
                     {"ended", "*"}}}}};
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
  // Another packer's choice: a block equal to the one before as F9 F9 F9 D5,
  // without the separators this one writes.
  const std::string other_packer =
      std::string(128, 'A') + "\x04\xF9\xF9\xF9\xD5" + std::string(123, '\0');
  const std::string name249 = std::string(246, 'F') + ".PK";
  const std::string old_origin = Origin("PS0001", 1577934245);  // 2020-01-02
  const std::string pad_big = BillingRecords(8000, 5) + "16 octets de plus";
  const std::string shared_forged = BillingRecords(60, 99);
  const auto fifo = [](const fs::path& d) { ASSERT_EQ(::mkfifo((d / "fifo").c_str(), 0600), 0); };
  RunTable({
      // clang-format off
      // A row run twice first, the longest next: the others run on meanwhile.
      {.what = "a receive cut midway, run again", .simulator = {"--cut-after", "21"}, .files = {{"store/FACT0002", kBill}}, .args = {"receive", "LINE", "D/FACT0002.TXT"}, .status = 3, .said = {"Xmodem: ReceiveFile: La ligne est coupée", "20 blocs de 128 octets sont gardés dans ", kPartial + "FACT0002.TXT ; relancez la même commande pour reprendre"}, .left = {{"FACT0002.TXT", kBill}, {"store/FACT0002", kBill}}, .again = {"receive", "LINE", "D/FACT0002.TXT", "--progress"}, .again_said = {"Reprise après les 20 blocs déjà reçus", "bloc 21,"}, .logged = {"numérotation : ", "réception de « FACT0002 »", "coupure de la ligne", "numérotation : ", "réception de « FACT0002 » par « PS0001 », reprise demandée", "transfert de « FACT0002 » terminé, 40 trames"}, .json = {{{{"direction", Q("receive")}, {"result", Q("rvCTS")}, {"description", Q("La ligne est coupée")}, {"exit_status", "3"}, {"blocks", "20"}, {"bytes", "2560"}, {"sha256", "null"}, {"resumed_from", "0"}, {"ended", "*"}}, {{"result", Q("rvTrue")}, {"resumed_from", "20"}, {"blocks", "40"}, {"bytes", "7680"}, {"sha256", Q(Sha256Of(kBill))}, {"exit_status", "0"}}}}},
      // clang-format on
      {.what = "the demo on an 80-column terminal",
       .args = {"demo", "--records", "64", "--dir", "D/demo"},
       .status = 0,
       .said = {"La ligne est coupée", "garde 32 blocs (4096 octets)", "bloc 64/64",
                "Journal des transferts",
                "réception  32+32  réussi           0  reprise/FACT0001.TXT\r\n"},
       .left = {{"demo/", "*"}},
       .columns = 80,
       .max_lines = 80,
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
      UsageRow({"receive", "f", "--user", "u", "--partial-max-age", "3x"}), UsageRow({"pack", "a", "b", "--force"}),
      // What exists is never replaced nor mixed: refused, or replaced only once the new file is complete.
      {"pack with its two files swapped", {}, {{"FACT.PK", Packed(kBill)}, {"FACT.TXT", kBill}}, {"pack", "D/FACT.PK", "D/FACT.TXT", "--json"}, 2, {"FACT.TXT existe déjà : il n'est pas remplacé. --replace"}},
      {"unpack onto an existing file", {}, {{"bill.pk", Packed(kBill)}, {"out", "ancien"}}, {"unpack", "D/bill.pk", "D/out"}, 2, {"out existe déjà"}},
      {"unpack of a plain billing file", {}, {{"FACT.TXT", kBill}}, {"unpack", "D/FACT.TXT", "D/OUT"}, 2, {"FACT.TXT n'est pas un fichier compacté valide : son dernier bloc ne finit pas par les octets nuls d'un bloc de fin", "--force le décompacte quand même"}},
      {.what = "unpack --force of a plain billing file", .files = {{"FACT.TXT", kBill}}, .args = {"unpack", "D/FACT.TXT", "D/OUT", "--force"}, .status = 0, .said = {"attention : ", "FACT.TXT ne se compacte pas de nouveau à l'identique", "vérifiez "}, .left = {{"FACT.TXT", kBill}, {"OUT", "*"}}},
      {.what = "unpack of another packer's file: a warning, not a refusal", .files = {{"other.pk", other_packer}}, .args = {"unpack", "D/other.pk", "D/OUT"}, .status = 0, .said = {"other.pk ne se compacte pas de nouveau à l'identique"}, .left = {{"other.pk", other_packer}, {"OUT", std::string(256, 'A')}}, .umask = 0, .modes = {{"OUT", 0600}}},
      {.what = "pack onto a FIFO, with --replace", .files = {{"bill.txt", kBill}}, .args = {"pack", "D/bill.txt", "D/fifo", "--replace"}, .status = 2, .said = {"fifo est un tube nommé (FIFO), pas un fichier ordinaire"}, .setup = fifo},
      {.what = "pack onto a device, with --replace", .files = {{"bill.txt", kBill}}, .args = {"pack", "D/bill.txt", "D/null", "--replace"}, .status = 2, .said = {"null est un périphérique, pas un fichier ordinaire"}, .setup = [](const fs::path& d) { ASSERT_EQ(::mknod((d / "null").c_str(), S_IFCHR | 0666, ::makedev(1, 3)), 0); }, .two_users = true},
      {.what = "unpack onto a symbolic link, with --replace", .files = {{"bill.pk", Packed(kBill)}, {"notes", "mes notes"}}, .args = {"unpack", "D/bill.pk", "D/link", "--replace"}, .status = 2, .said = {"link est un lien symbolique, pas un fichier ordinaire"}, .setup = [](const fs::path& d) { fs::create_symlink("notes", d / "link"); }},
      {.what = "receive onto a FIFO, with --replace", .args = {"receive", "LINE", "D/fifo", "--replace"}, .status = 2, .said = {"fifo est un tube nommé (FIFO), pas un fichier ordinaire : la réception ne le remplace pas"}, .setup = fifo},
      {.what = "pack to a name of 249 characters", .files = {{"bill.txt", kBill}}, .args = {"pack", "D/bill.txt", "D/" + name249}, .status = 0, .left = {{"bill.txt", kBill}, {name249, Packed(kBill)}}},
      {.what = "pack into a folder whose entries cannot be synced", .files = {{"bill.txt", kBill}, {"sync/", ""}}, .args = {"pack", "D/bill.txt", "D/sync/bill.pk"}, .status = 1, .said = {"Impossible d'écrire dans le dossier ", "sync : erreur d'entrée-sortie du disque"}, .left = {{"bill.txt", kBill}, {"sync/", ""}, {"sync/bill.pk", "*"}}, .env = FailureEnv("", "", {{"XMQ_FAIL_FSYNC", "/sync:" + std::to_string(EIO)}})},
      // Partial files: resumed only when they are the user's, recent, and for the same user.
      {"a partial file started two years ago", {}, {{kPartial + "FACT0001.TXT", bill20}, {kPartial + ".origine/FACT0001.TXT", old_origin}, {"store/FACT0001", kBill}}, {"receive", "LINE", "D/FACT0001.TXT"}, 2, {kPartial + "FACT0001.TXT garde 20 blocs d'une réception de ", "commencée il y a ", " j ", "(le 2020-01-02T03:04:05Z), plus de 1 j", "Supprimez ", "--resume-old le reprend quand même"}},
      {"a partial file started two years ago, --resume-old", {}, {{kPartial + "FACT0001.TXT", bill20}, {kPartial + ".origine/FACT0001.TXT", old_origin}, {"store/FACT0001", kBill}}, {"receive", "LINE", "D/FACT0001.TXT", "--resume-old"}, 0, {"Reprise après les 20 blocs", "reçu (repris après 20 blocs)"}, {{"FACT0001.TXT", kBill}, {"store/FACT0001", kBill}}},
      {"a partial file older than --partial-max-age in minutes", {}, {{kPartial + "FACT0001.TXT", bill20}, {kPartial + ".origine/FACT0001.TXT", Origin("PS0001", std::time(nullptr) - 7260)}}, {"receive", "LINE", "D/FACT0001.TXT", "--partial-max-age", "90min"}, 2, {"commencée il y a 2 h 1 min (le ", "plus de 1 h 30 min"}},
      {"a partial file older than --partial-max-age in hours", {}, {{kPartial + "FACT0001.TXT", bill20}, {kPartial + ".origine/FACT0001.TXT", Origin("PS0001", std::time(nullptr) - 27 * 3600 - 60)}}, {"receive", "LINE", "D/FACT0001.TXT", "--partial-max-age", "26h"}, 2, {"commencée il y a 1 j 3 h (le ", "plus de 1 j 2 h"}},
      {.what = "a partial folder that is a symbolic link", .files = {{"elsewhere/", ""}}, .args = {"receive", "LINE", "D/FACT0001.TXT"}, .status = 2, .said = {kPartial.substr(0, kPartial.size() - 1) + " n'est pas un dossier : il sert aux réceptions en cours"}, .setup = [](const fs::path& d) { fs::create_directory_symlink("elsewhere", d / kPartial.substr(0, kPartial.size() - 1)); }},
      {"a partial file within --partial-max-age", {}, {{kPartial + "FACT0001.TXT", bill20}, {kPartial + ".origine/FACT0001.TXT", old_origin}, {"store/FACT0001", kBill}}, {"receive", "LINE", "D/FACT0001.TXT", "--partial-max-age", "100000j"}, 0, {"Reprise après les 20 blocs"}, {{"FACT0001.TXT", kBill}, {"store/FACT0001", kBill}}},
      {"a partial file started for another user", {}, {{kPartial + "FACT0001.TXT", bill20}, {kPartial + ".origine/FACT0001.TXT", Origin("PS0002")}, {"store/FACT0001", kBill}}, {"receive", "LINE", "D/FACT0001.TXT"}, 2, {"commencée pour l'utilisateur « PS0002 », pas « PS0001 »"}},
      {"a partial file without its origin", {}, {{kPartial + "FACT0001.TXT", bill20}, {"store/FACT0001", kBill}}, {"receive", "LINE", "D/FACT0001.TXT"}, 2, {"dont l'origine est inconnue"}},
      {.what = "a partial folder that others can write", .files = {{kPartial + "FACT0001.TXT", bill20}, {kPartial + ".origine/FACT0001.TXT", Origin("PS0001")}}, .args = {"receive", "LINE", "D/FACT0001.TXT"}, .status = 2, .said = {kPartial.substr(0, kPartial.size() - 1) + " est modifiable par d'autres utilisateurs (mode 0770)", "chmod 700"}, .setup = [](const fs::path& d) { fs::permissions(d / kPartial, fs::perms(0770)); }},
      {.what = "another user's partial folder in a shared folder", .files = {{"shared/" + kPartial + "FACT0001.TXT", kBill.substr(0, 10 * 128)}}, .args = {"receive", "LINE", "D/shared/FACT0001.TXT"}, .status = 2, .said = {kPartial.substr(0, kPartial.size() - 1) + " appartient à xmq-intrus, pas à vous", "Supprimez-le s'il n'est pas à vous"}, .setup = [](const fs::path& d) { fs::permissions(d / "shared", fs::perms(01777)); Intruders(d / "shared" / kPartial, 0777); Intruders(d / "shared" / kPartial / "FACT0001.TXT", 0666); }, .two_users = true},
      {.what = "another user's partial file in the user's partial folder", .files = {{kPartial + "FACT0001.TXT", bill20}, {kPartial + ".origine/FACT0001.TXT", Origin("PS0001")}}, .args = {"receive", "LINE", "D/FACT0001.TXT"}, .status = 2, .said = {kPartial + "FACT0001.TXT appartient à xmq-intrus"}, .setup = [](const fs::path& d) { Intruders(d / kPartial / "FACT0001.TXT", 0644); }, .two_users = true},
      // What goes out is what was checked.
      {"two files the server would take for one", {}, {{"LOT.TXT", kBill}, {"lot.DAT", kBill}}, {"send", "LINE", "D/LOT.TXT", "D/lot.DAT"}, 2, {"LOT.TXT et ", "lot.DAT portent le même nom pour le serveur (« LOT »"}},
      {"two receives the server would take for one, after the cut", {}, {{"a/", ""}}, {"receive", "LINE", "D/a/FACTURE_JANVIER_2024.TXT", "D/FACTURE_JANVIER_2025.TXT"}, 2, {"portent le même nom pour le serveur (« FACTURE_JANVIER_2 »"}},
      {"a user id with an escape sequence", {}, {}, {"receive", "LINE", "D/F.TXT", "--user", "PS\x1b[2J0001"}, 2, {"l'identifiant « PS\\x1B[2J0001 » contient un caractère de contrôle (\\x1B)", "!\x1b"}},
      {"a password with a line feed", {}, {}, {"receive", "LINE", "D/F.TXT"}, 2, {"le mot de passe contient un caractère de contrôle"}, {{"=", ""}}, {{"XMODEMQ_PASSWORD", "Zq7\nATH0"}}},
      {"a file name with a terminal title sequence", {}, {{"FACT\x1b]0;pwn\x07.TXT", kBill}}, {"send", "LINE", "D/FACT\x1b]0;pwn\x07.TXT"}, 2, {"contient un caractère de contrôle (\\x07, \\x1B)", "!\x1b"}},
      {"a password file that is a folder", {}, {{"pw/", ""}}, {"receive", "D/f", "--user", "u", "--password-file", "D/pw"}, 2, {"le fichier de mot de passe ", "pw est un dossier", "!est vide", "!chmod"}},
      {.what = "a device through another user's symbolic link", .simulator = {"--echo", "on"}, .files = {{"FACT0001.TXT", kBill}}, .args = {"send", "D/FACT0001.TXT", "--user", "PS0001", "--device", "D/evil"}, .status = 2, .said = {"evil, un lien symbolique de l'utilisateur xmq-intrus", "votre mot de passe"}, .setup = [](const fs::path& d) { fs::create_symlink(d / "modem", d / "evil"); Intruders(d / "evil", 0); }, .two_users = true},
      // Mistakes refused before the call, with exit 2, or failures without harm.
      {.what = "send of a mistyped name", .args = {"send", "LINE", "D/nosuch.txt", "--json"}, .status = 2, .said = {"nosuch.txt n'existe pas : rien n'est envoyé"}, .json = kNoRow},
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
      {"unpack of a packed file whose end block is wrong", {}, {{"bad.pk", end_block_over_127}, {"out", "ancien"}}, {"unpack", "D/bad.pk", "D/out", "--force", "--replace"}, 1, {"xmodemq: Décompactage : ", "bad.pk n'est pas un fichier compacté valide", "out est laissé tel quel"}},
      {.what = "pack onto a full disk", .files = {{"bill.txt", kBill}, {"full/bill.pk", "ancien"}}, .args = {"pack", "D/bill.txt", "D/full/bill.pk", "--replace", "--json"}, .status = 1, .said = {"Impossible d'écrire ", "full/bill.pk : disque plein ; ", "bill.pk est laissé tel quel"}, .env = FailureEnv("", "/full/:200"), .json = {{{{"operation", Q("pack")}, {"target", Q("D/full/bill.pk")}, {"source_bytes", "7680"}, {"target_bytes", "null"}, {"exit_status", "1"}, {"description", "*"}}}}},
      {"demo on a disk that fills at its file", {}, {}, {"demo", "--records", "16", "--dir", "D/demo"}, 1, {"xmodemq: demo : Impossible d'écrire ", "FACT0001.TXT : disque plein", "!Résumé"}, {{"demo/", "*"}}, FailureEnv("", "/FACT0001.TXT:1000")},
      {"demo on a disk that fills at a received copy", {}, {}, {"demo", "--records", "16", "--dir", "D/demo"}, 1, {"xmodemq: demo : Impossible d'écrire ", "retour/FACT0001.TXT : disque plein", "!Résumé"}, {{"demo/", "*"}}, FailureEnv("", "/retour/:1000")},
      {"demo on a disk that fills at the unpacked file", {}, {}, {"demo", "--records", "16", "--dir", "D/demo"}, 1, {"xmodemq: demo : Impossible d'écrire ", "FACT0001.UNP : disque plein", "!Résumé"}, {{"demo/", "*"}}, FailureEnv("", "/FACT0001.UNP:1000")},
      // Calls, and what each leaves.
      {.what = "a receive into a folder whose entries cannot be synced", .files = {{"sync/", ""}, {"store/FACT0002", kBill}}, .args = {"receive", "LINE", "D/sync/FACT0002.TXT"}, .status = 1, .said = {"Impossible d'écrire dans le dossier ", "sync : erreur d'entrée-sortie du disque"}, .left = {{"sync/", ""}, {"sync/FACT0002.TXT", kBill}, {"store/FACT0002", kBill}}, .env = FailureEnv("", "", {{"XMQ_FAIL_FSYNC", "/sync:" + std::to_string(EIO)}})},
      {"send of a file that is not whole records, with --pad", {}, {{"FACT0009.TXT", odd}}, {"send", "LINE", "D/FACT0009.TXT", "--pad"}, 0, {"FACT0009.TXT envoyé complété par 112 espaces : 41 blocs de 128 octets"}, {{"FACT0009.TXT", odd}, {"store/FACT0009", odd + std::string(112, ' ')}}},
      {"receive of the same name again, with --replace, through a damaged frame", {"--fault", "corrupt-frame=5"}, {{"FACT0002.TXT", "hier"}, {"store/FACT0002", kBill}}, {"receive", "LINE", "D/FACT0002.TXT", "--replace"}, 0, {"FACT0002.TXT reçu : 60 blocs de 128 octets"}, {{"FACT0002.TXT", kBill}, {"store/FACT0002", kBill}}},
      {.what = "a disk that fills during a receive", .files = {{"store/FACT0002", kBill}}, .args = {"receive", "LINE", "D/FACT0002.TXT"}, .status = 1, .said = {"xmodemq: Impossible d'écrire ", kPartial + "FACT0002.TXT : disque plein", "1 blocs de 128 octets sont gardés"}, .left = {{kPartial, ""}, {kPartial + "FACT0002.TXT", kBill.substr(0, 128)}, {kPartial + ".origine/", ""}, {kPartial + ".origine/FACT0002.TXT", "*"}, {"store/FACT0002", kBill}}, .env = FailureEnv("", "partiel/FACT0002.TXT:200"), .umask = 0, .modes = {{kPartial, 0700}, {kPartial + "FACT0002.TXT", 0600}}},
      {"a busy line, then the call goes through, with a modem that does not echo", {"--dial-answer", "BUSY,CONNECT 9600", "--echo", "off"}, {{"FACT0001.TXT", kBill}}, {"send", "LINE", "D/FACT0001.TXT"}, 0, {"Appel du serveur…\nLigne occupée (BUSY) : le modem attend jusqu'à 1 min 45 s\nConnecté (CONNECT 9600).\n", "FACT0001.TXT envoyé : 60 blocs de 128 octets"}, {{"FACT0001.TXT", kBill}, {"store/FACT0001", kBill}}},
      {"busy and no carrier, then a new dial; a 40-character user id and a 17-character name", {"--dial-answer", "BUSY,NO CARRIER", "--dial-answer", "CONNECT 9600"}, {{"store/FACTURE_JANVIER_2", kBill}}, {"receive", "LINE", "D/FACTURE_JANVIER_2.TXT", "--attempts", "1", "--user", id40}, 0, {"Ligne occupée (BUSY)", "\n« NO CARRIER », nouvel essai (2 sur 2)…\n", "Connecté (CONNECT 9600).", "!attention"}, {{"FACTURE_JANVIER_2.TXT", kBill}, {"store/FACTURE_JANVIER_2", kBill}}},
      // No call, no transfer: no row.
      {.what = "no dial tone", .simulator = {"--dial-answer", "NO DIALTONE"}, .args = {"receive", "LINE", "D/F.TXT", "--trace", "--json"}, .status = 3, .said = {"Xmodem: Connect: Pas de tonalité", "xmodemq: dernière réponse du modem à l'appel : « NO DIALTONE »"}, .left = {}, .json = kNoRow},
      {.what = "a wrong password", .simulator = {"--accounts", "D/accounts"}, .files = {{"accounts", "PS0001:le-bon\r\n\nPS0002:autre\n"}}, .args = {"receive", "LINE", "D/F.TXT"}, .status = 4, .said = {"Xmodem: ReceiveFile: Transfert refusé, status 3", "xmodemq: le serveur refuse le transfert : mot de passe erroné (status 3)"}, .left = {{"accounts", "PS0001:le-bon\r\n\nPS0002:autre\n"}}, .logged = {"attention : ", "accounts est lisible par d'autres utilisateurs", "réception de « F » par « PS0001 », reprise non, statut 3"}, .json = {{{{"file", Q("D/F.TXT")}, {"result", Q("rvRefuse")}, {"description", Q("Transfert refusé, status 3")}, {"exit_status", "4"}, {"blocks", "0"}, {"resumed_from", "null"}, {"bytes", "0"}}}}},
      {.what = "the right password", .simulator = {"--accounts", "D/accounts"}, .files = {{"accounts", "PS0002:autre\nPS0001:" + std::string(kSecret) + "\n"}, {"FACT0001.TXT", bill20}}, .args = {"send", "LINE", "D/FACT0001.TXT"}, .status = 0, .said = {"FACT0001.TXT envoyé : 20 blocs"}, .left = {{"accounts", "PS0002:autre\nPS0001:" + std::string(kSecret) + "\n"}, {"FACT0001.TXT", bill20}, {"store/FACT0001", bill20}}},
      // The server never stores nor serves a hidden name or one that holds a path.
      {"a send of a hidden name", {}, {{".profile.x", kBill}}, {"send", "LINE", "D/.profile.x"}, 4, {"Transfert refusé, status 8"}, {{".profile.x", kBill}}},
      {"a receive of a hidden name", {}, {{"store/.hidden", kBill}}, {"receive", "LINE", "D/.hidden.TXT"}, 4, {"Transfert refusé, status 6"}, {{"store/.hidden", kBill}}},
      {"a 45-character user id and a 23-character base name", {}, {{"FACTURE_JANVIER_2024_01.TXT", kBill}}, {"send", "LINE", "D/FACTURE_JANVIER_2024_01.TXT", "--user", id40 + "XXXXX"}, 0, {"attention : l'identifiant « PS0001-XXX", "» a 45 caractères ; la ligne n'en porte que 40", "attention : le nom du fichier pour le serveur « FACTURE_JANVIER_2024_01 » a 23 caractères ; la ligne n'en porte que 17 : le serveur recevra « FACTURE_JANVIER_2 »\nInitialisation du modem…"}, {{"FACTURE_JANVIER_2024_01.TXT", kBill}, {"store/FACTURE_JANVIER_2", kBill}}},
      {"a send that resumes after what the server holds", {"--serve", "D/half/FACT0007.TXT", "--resume-sends"}, {{"half/FACT0007.TXT", kBill.substr(0, 12 * 128)}, {"FACT0007.TXT", kBill.substr(0, 30 * 128)}}, {"send", "LINE", "D/FACT0007.TXT", "--progress"}, 0, {"Le serveur détient déjà 12 blocs de FACT0007", "le journal ne connaît aucun envoi de FACT0007", "envoyé (repris après 12 blocs) : 18 blocs de 128 octets", "bloc 13/30", "bloc 30/30"}, {{"half/", ""}, {"half/FACT0007.TXT", kBill.substr(0, 12 * 128)}, {"FACT0007.TXT", kBill.substr(0, 30 * 128)}, {"store/FACT0007", kBill.substr(0, 30 * 128)}}},
      {.what = "a remote line cut midway, run again", .simulator = {"--listen", "127.0.0.1:0", "--cut-after", "21"}, .files = {{"store/FACT0002", kBill}}, .args = {"receive", "LINE", "D/FACT0002.TXT", "--trace"}, .status = 3, .said = {"La ligne est coupée", "20 blocs de 128 octets sont gardés", "perdue : connexion"}, .left = {{"FACT0002.TXT", kBill}, {"store/FACT0002", kBill}}, .again = {"receive", "LINE", "D/FACT0002.TXT"}, .again_said = {"Reprise après les 20 blocs déjà reçus"}, .logged = {"numérotation : ", "coupure de la connexion", "numérotation : ", "transfert de « FACT0002 » terminé, 40 trames"}},
      {.what = "a remote line, 0xFF in every block both ways", .simulator = {"--listen", "127.0.0.1:0"}, .files = {{"FACT0005.TXT", iac}, {"back/", ""}}, .args = {"send", "LINE", "D/FACT0005.TXT", "--trace"}, .status = 0, .said = {"FACT0005.TXT envoyé : 60 blocs", "!Ligne distante"}, .left = {{"FACT0005.TXT", iac}, {"store/FACT0005", iac}, {"back/", ""}, {"back/FACT0005.TXT", iac}}, .again = {"receive", "LINE", "D/back/FACT0005.TXT"}},
      {.what = "a batch of three sends on one call", .files = {{"FACT0001.TXT", bill20}, {"FACT0002.TXT", odd}, {"FACT0003.TXT", kBill}}, .args = {"send", "LINE", "D/FACT0001.TXT", "D/FACT0002.TXT", "D/FACT0003.TXT", "--pad"}, .status = 0, .said = {"FACT0003.TXT envoyé : 60 blocs"}, .left = {{"FACT0001.TXT", bill20}, {"FACT0002.TXT", odd}, {"FACT0003.TXT", kBill}, {"store/FACT0001", bill20}, {"store/FACT0002", odd + std::string(112, ' ')}, {"store/FACT0003", kBill}}, .dials = 1, .logged = batch_log},
      {.what = "a batch of three sends on one call over a remote line", .simulator = {"--listen", "127.0.0.1:0"}, .files = {{"FACT0001.TXT", bill20}, {"FACT0002.TXT", odd}, {"FACT0003.TXT", kBill}}, .args = {"send", "LINE", "D/FACT0001.TXT", "D/FACT0002.TXT", "D/FACT0003.TXT", "--pad"}, .status = 0, .said = {"FACT0003.TXT envoyé : 60 blocs"}, .left = {{"FACT0001.TXT", bill20}, {"FACT0002.TXT", odd}, {"FACT0003.TXT", kBill}, {"store/FACT0001", bill20}, {"store/FACT0002", odd + std::string(112, ' ')}, {"store/FACT0003", kBill}}, .dials = 1, .logged = batch_log},
      {.what = "a batch of receives stopped by a file the server lacks", .files = {{"store/FACT0001", bill20}, {"store/FACT0003", kBill}}, .args = {"receive", "LINE", "D/FACT0001.TXT", "D/FACT0003.TXT", "D/FACT0009.TXT"}, .status = 4, .said = {"2 fichiers sur 3 transférés : ", "FACT0001.TXT, ", "FACT0003.TXT."}, .left = {{"FACT0001.TXT", bill20}, {"FACT0003.TXT", kBill}, {"store/FACT0001", bill20}, {"store/FACT0003", kBill}}, .dials = 1},
      {.what = "pack then unpack, through private temporary files; --replace keeps the mode", .files = {{"bill.txt", kBill}, {"bill.out", "ancien"}}, .args = {"pack", "D/bill.txt", "D/bill.pk", "--progress"}, .status = 0, .said = {"bloc 60/60"}, .left = {{"bill.txt", kBill}, {"bill.pk", Packed(kBill)}, {"bill.out", kBill}}, .again = {"unpack", "D/bill.pk", "D/bill.out", "--replace"}, .again_said = {"bill.pk (", "blocs) décompacté dans ", "bill.out : 60 blocs de 128 octets.", "!bloc ", "!attention"}, .setup = [](const fs::path& d) { fs::permissions(d / "bill.out", fs::perms(0640)); }, .umask = 0, .modes = {{"bill.pk", 0600}, {"bill.out", 0640}}},
      // clang-format on
      // clang-format off
      // The journal: a row per transfer, written before its opening, completed at its end.
      {.what = "a send recorded, its object on stdout and nothing else",
       .files = {{"FACT0001.TXT", kBill}},
       .args = {"send", "LINE", "D/FACT0001.TXT", "--json", "--progress"},
       .status = 0,
       .said = {"bloc 60/60"},
       .left = {{"FACT0001.TXT", kBill}, {"store/FACT0001", kBill}},
       .json = {{{{"id", "1"}, {"direction", Q("send")}, {"file", Q("D/FACT0001.TXT")}, {"server_name", Q("FACT0001")}, {"server", Q(xmodemquarvel::kServerNumber)}, {"user", Q("PS0001")}, {"line", Q("D/modem")}, {"bytes", "7680"}, {"blocks", "60"}, {"sha256", Q(Sha256Of(kBill))}, {"resumed_from", "0"}, {"result", Q("rvTrue")}, {"description", Q("")}, {"exit_status", "0"}, {"started", "*"}, {"ended", "*"}, {"call_id", "*"}}}}},
      {.what = "a batch of receives on stdout, one call, and the journal readable by sqlite3",
       .files = {{"store/FACT0001", bill20}, {"store/FACT0003", kBill}, {"j/", ""}},
       .args = {"receive", "LINE", "D/FACT0001.TXT", "D/FACT0003.TXT", "--json", "-q"},
       .status = 0,
       .left = {{"j/", "*"}, {"FACT0001.TXT", bill20}, {"FACT0003.TXT", kBill}, {"store/FACT0001", bill20}, {"store/FACT0003", kBill}},
       .env = {{"XMODEMQ_JOURNAL", "D/j/journal.sqlite"}},
       .check =
           [](const Outcome& r, const fs::path& d) {
             const auto objects = ParseJsonLines(r.out);
             ASSERT_TRUE(objects && objects->size() == 2) << r.out;
             EXPECT_EQ(objects->front().at("call_id"), objects->back().at("call_id"));
             EXPECT_NE(objects->front().at("id"), objects->back().at("id"));
             const Outcome sqlite = Process({"/usr/bin/sqlite3", (d / "j/journal.sqlite").string(), "SELECT server_name, result, blocks FROM transfers ORDER BY id"}).Wait(30s);
             if (sqlite.status == 127 && !std::getenv("CI")) return;
             EXPECT_EQ(sqlite.out, "FACT0001|rvTrue|20\nFACT0003|rvTrue|60\n") << sqlite.All();
           },
       .json = {{{{"file", Q("D/FACT0001.TXT")}, {"blocks", "20"}, {"bytes", "2560"}, {"sha256", Q(Sha256Of(bill20))}}, {{"file", Q("D/FACT0003.TXT")}, {"blocks", "60"}, {"sha256", Q(Sha256Of(kBill))}, {"result", Q("rvTrue")}}}}},
      {.what = "pack and unpack on stdout",
       .files = {{"FACT.TXT", odd}},
       .args = {"pack", "D/FACT.TXT", "D/FACT.PK", "--json"},
       .status = 0,
       .left = {{"FACT.TXT", odd}, {"FACT.PK", Packed(odd)}, {"OUT", odd + std::string(112, ' ')}},
       .then = {{{"unpack", "D/FACT.PK", "D/OUT", "--json"}, 0, {"\"operation\":\"unpack\",\"source\":\"", "\"source_blocks\":" + std::to_string((Packed(odd).size() + 127) / 128) + ",\"target_bytes\":5248,\"target_blocks\":41,\"exit_status\":0"}}},
       .json = {{{{"operation", Q("pack")}, {"source", Q("D/FACT.TXT")}, {"target", Q("D/FACT.PK")}, {"source_bytes", std::to_string(odd.size())}, {"source_blocks", "41"}, {"target_bytes", std::to_string(Packed(odd).size())}, {"exit_status", "0"}, {"description", Q("")}}}}},
      {.what = "a name that JSON escapes, read back by Python",
       .files = {{"q\"\\é/FACT0003.TXT", bill20}},
       .args = {"send", "LINE", "D/q\"\\é/FACT0003.TXT", "--json"},
       .status = 0,
       .left = {{"q\"\\é/", ""}, {"q\"\\é/FACT0003.TXT", bill20}, {"store/FACT0003", bill20}},
       .check =
           [](const Outcome& r, const fs::path& d) {
             const Outcome python = Process({"/usr/bin/python3", "-c", "import json, sys\nfor line in sys.argv[1].splitlines(): print(json.loads(line)['file'])", r.out}, {}).Wait(30s);
             if (python.status == 127 && !std::getenv("CI")) return;
             EXPECT_EQ(python.out, (d / "q\"\\é/FACT0003.TXT").string() + "\n") << python.All();
           },
       .json = {{{{"file", Q("D/q\"\\é/FACT0003.TXT")}, {"result", Q("rvTrue")}}}}},
      {.what = "a receive killed by SIGKILL, shown interrupted, then resumed",
       .simulator = {"--baud", "19200"},
       .files = {{"store/FACT0002", kBill}},
       .args = {"receive", "LINE", "D/FACT0002.TXT", "--progress"},
       .status = 128 + SIGKILL,
       .left = {{"FACT0002.TXT", kBill}, {"store/FACT0002", kBill}},
       .during = [](Process& client, const fs::path&, Simulator*) { client.Signal(SIGKILL); },
       .again = {"receive", "LINE", "D/FACT0002.TXT"},
       .again_said = {"Reprise après les "},
       .then = {{{"journal"}, 0, {"réception", "FACT0002", "interrompu", "FACT0002.TXT"}}},
       .json = {{{{"result", Q("interrupted")}, {"ended", "null"}, {"exit_status", "null"}, {"blocks", "null"}}, {{"result", Q("rvTrue")}, {"resumed_from", "*"}, {"sha256", Q(Sha256Of(kBill))}}}}},
      // Never twice: refused before dialling, the whole batch; --again sends it all the same.
      {.what = "a file sent again, alone or in a batch",
       .files = {{"FACT0001.TXT", kBill}, {"FACT0002.TXT", bill20}},
       .args = {"send", "LINE", "D/FACT0001.TXT"},
       .status = 0,
       .left = {{"FACT0001.TXT", kBill}, {"FACT0002.TXT", bill20}, {"store/FACT0001", kBill}, {"store/FACT0002", bill20}},
       .dials = 3,
       .then = {{{"send", "LINE", "D/FACT0002.TXT", "D/FACT0001.TXT", "--json"}, 2, {"FACT0001.TXT a déjà été envoyé le 20", "(« FACT0001 », même contenu, utilisateur PS0001)", "rien n'est envoyé", "--again l'envoie quand même", "!FACT0002.TXT a déjà"}},
                {{"send", "LINE", "D/FACT0002.TXT", "D/FACT0001.TXT", "--again"}, 0, {"FACT0002.TXT envoyé", "FACT0001.TXT envoyé"}},
                {{"send", "LINE", "D/FACT0001.TXT", "--user", "PS0002"}, 0, {"FACT0001.TXT envoyé"}},
                {{"journal", "--file", "FACT0002.TXT"}, 0, {"FACT0002", "!FACT0001"}},
                {{"journal", "--since", "2999-01-01"}, 0, {"Aucun transfert dans le journal"}},
                {{"journal", "--since", "hier"}, 2, {"--since attend une date ISO 8601"}}},
       .json = {{{{"file", Q("D/FACT0001.TXT")}, {"user", Q("PS0001")}}, {{"file", Q("D/FACT0002.TXT")}}, {{"file", Q("D/FACT0001.TXT")}, {"result", Q("rvTrue")}}, {{"user", Q("PS0002")}, {"result", Q("rvTrue")}}}}},
      // A server's resume of a send, checked against the journal.
      {.what = "a send cut, then resumed by the server: the same version goes on",
       .simulator = {"--resume-sends", "--fault", "line-loss=20"},
       .files = {{"FACT0007.TXT", kBill.substr(0, 30 * 128)}},
       .args = {"send", "LINE", "D/FACT0007.TXT"},
       .status = 3,
       .left = {{"FACT0007.TXT", kBill.substr(0, 30 * 128)}, {"store/FACT0007", kBill.substr(0, 30 * 128)}},
       .then = {{{"send", "LINE", "D/FACT0007.TXT"}, 0, {"Le serveur détient déjà 20 blocs de FACT0007 : l'envoi reprend après eux.", "Le journal confirme que ce sont les 20 blocs de FACT0007 envoyés le ", "envoyé (repris après 20 blocs) : 10 blocs", "!attention"}}},
       // The server may hold a block whose acknowledgement the cut line lost.
       .json = {{{{"result", Q("rvCTS")}, {"blocks", "*"}, {"exit_status", "3"}}, {{"result", Q("rvTrue")}, {"resumed_from", "20"}, {"blocks", "10"}}}}},
      {.what = "a send cut, then another version of the file: stopped before any data",
       .simulator = {"--resume-sends", "--fault", "line-loss=20"},
       .files = {{"FACT0007.TXT", kBill.substr(0, 30 * 128)}, {"v2/FACT0007.TXT", BillingRecords(30, 12)}},
       .args = {"send", "LINE", "D/FACT0007.TXT"},
       .status = 3,
       .left = {{"FACT0007.TXT", kBill.substr(0, 30 * 128)}, {"v2/", ""}, {"v2/FACT0007.TXT", BillingRecords(30, 12)}, {"store/FACT0007", kBill.substr(0, 20 * 128)}},
       .then = {{{"send", "LINE", "D/v2/FACT0007.TXT"}, 1, {"Le serveur détient déjà 20 blocs de FACT0007", "xmodemq: le serveur détient 20 blocs d'une autre version de FACT0007 que ", "v2/FACT0007.TXT (celle envoyée le ", "L'envoi est arrêté avant toute donnée. Faites supprimer FACT0007 du serveur", "!envoyé (", "!Le journal confirme"}}},
       .json = {{{{"result", Q("rvCTS")}}, {{"file", Q("D/v2/FACT0007.TXT")}, {"result", Q("rvFalse")}, {"resumed_from", "20"}, {"blocks", "0"}, {"exit_status", "1"}, {"description", Q("le serveur détient une autre version de FACT0007")}}}}},
      {.what = "a file sent whole, then a changed one, then a longer one of the same beginning",
       .simulator = {"--resume-sends"},
       .files = {{"FACT0001.TXT", bill20}, {"v2/FACT0001.TXT", BillingRecords(20, 12)}, {"v3/FACT0001.TXT", kBill}},
       .args = {"send", "LINE", "D/FACT0001.TXT"},
       .status = 0,
       .left = {{"FACT0001.TXT", bill20}, {"v2/", ""}, {"v2/FACT0001.TXT", BillingRecords(20, 12)}, {"v3/", ""}, {"v3/FACT0001.TXT", kBill}, {"store/FACT0001", kBill}},
       .then = {{{"send", "LINE", "D/v2/FACT0001.TXT"}, 1, {"d'une autre version de FACT0001"}},
                {{"send", "LINE", "D/v3/FACT0001.TXT"}, 0, {"Le journal confirme que ce sont les 20 blocs", "repris après 20 blocs) : 40 blocs"}}},
       .json = {{{{"result", Q("rvTrue")}}, {{"result", Q("rvFalse")}}, {{"result", Q("rvTrue")}, {"resumed_from", "20"}}}}},
      // Where the journal is, and a journal that cannot serve: refused before the call.
      {.what = "the journal under XDG_STATE_HOME, its folders made 0700, the file 0600",
       .files = {{"FACT0001.TXT", bill20}, {"home/", ""}},
       .args = {"send", "LINE", "D/FACT0001.TXT"},
       .status = 0,
       .left = {{"FACT0001.TXT", bill20}, {"store/FACT0001", bill20}, {"home/", ""}, {"state/", "*"}},
       .env = {{"XMODEMQ_JOURNAL", std::nullopt}, {"HOME", "D/home"}, {"XDG_STATE_HOME", "D/state"}},
       .umask = 0,
       .modes = {{"state", 0700}, {"state/xmodemq", 0700}, {"state/xmodemq/journal.sqlite", 0600}},
       .json = {{{{"result", Q("rvTrue")}}}}},
      {.what = "the journal under HOME",
       .files = {{"FACT0001.TXT", bill20}, {"home/", ""}},
       .args = {"send", "LINE", "D/FACT0001.TXT"},
       .status = 0,
       .left = {{"FACT0001.TXT", bill20}, {"store/FACT0001", bill20}, {"home/", "*"}},
       .env = {{"XMODEMQ_JOURNAL", std::nullopt}, {"HOME", "D/home"}, {"XDG_STATE_HOME", "relatif"}},
       .modes = {{"home/.local/state/xmodemq", 0700}, {"home/.local/state/xmodemq/journal.sqlite", 0600}},
       .json = {{{{"result", Q("rvTrue")}}}}},
      {"no HOME nor journal", {}, {{"FACT0001.TXT", bill20}}, {"send", "LINE", "D/FACT0001.TXT"}, 2, {"aucun journal : ni --journal, ni XMODEMQ_JOURNAL, ni XDG_STATE_HOME, ni HOME", "--no-journal"}, {{"=", ""}}, {{"XMODEMQ_JOURNAL", std::nullopt}, {"HOME", std::nullopt}, {"XDG_STATE_HOME", std::nullopt}}},
      {.what = "no HOME, --no-journal",
       .files = {{"FACT0001.TXT", bill20}},
       .args = {"send", "LINE", "D/FACT0001.TXT", "--no-journal", "--json"},
       .status = 0,
       .left = {{"FACT0001.TXT", bill20}, {"store/FACT0001", bill20}},
       .env = {{"XMODEMQ_JOURNAL", std::nullopt}, {"HOME", std::nullopt}, {"XDG_STATE_HOME", std::nullopt}},
       .json = {{{{"id", "null"}, {"result", Q("rvTrue")}, {"sha256", Q(Sha256Of(bill20))}}}}},
      {"a journal on a read-only file system", {}, {{"FACT0001.TXT", bill20}}, {"send", "LINE", "D/FACT0001.TXT"}, 2, {"Impossible d'ouvrir le journal ", "journal.sqlite : système de fichiers en lecture seule", "--no-journal pour s'en passer"}, {{"=", ""}}, FailureEnv("journal.sqlite:" + std::to_string(EROFS))},
      {.what = "a journal in a folder that others can write", .files = {{"FACT0001.TXT", bill20}, {"open/", ""}}, .args = {"send", "LINE", "D/FACT0001.TXT", "--journal", "D/open/j.sqlite"}, .status = 2, .said = {"le dossier ", "open du journal est modifiable par d'autres utilisateurs (mode 0777)"}, .setup = [](const fs::path& d) { fs::permissions(d / "open", fs::perms(0777)); }},
      {.what = "a journal that is not one", .files = {{"FACT0001.TXT", bill20}, {"notes", std::string(4096, 'n')}}, .args = {"send", "LINE", "D/FACT0001.TXT"}, .status = 2, .said = {"le journal ", "notes ne peut pas être ouvert : ce n'est pas un journal de xmodemq, ou il est abîmé"}, .env = {{"XMODEMQ_JOURNAL", "D/notes"}}, .setup = [](const fs::path& d) { fs::permissions(d / "notes", fs::perms(0600)); }},
      {.what = "a journal of a newer xmodemq", .files = {{"FACT0001.TXT", bill20}}, .args = {"receive", "LINE", "D/F.TXT", "--journal", "D/new.sqlite"}, .status = 2, .said = {"new.sqlite a été écrit par une version plus récente de xmodemq (schéma 9, celle-ci connaît le 2) : mettez xmodemq à jour"}, .setup = [](const fs::path& d) { Database db((d / "new.sqlite").string(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE); db.Execute("PRAGMA user_version = 9"); fs::permissions(d / "new.sqlite", fs::perms(0600)); }},
      {.what = "a journal that fills the disk when the transfer starts: nothing sent",
       .files = {{"FACT0001.TXT", bill20}, {"FACT0002.TXT", kBill}},
       .args = {"send", "LINE", "D/FACT0001.TXT"},
       .status = 0,
       .left = {{"FACT0001.TXT", bill20}, {"FACT0002.TXT", kBill}, {"store/FACT0001", bill20}},
       .dials = 2,
       .then = {{{"/usr/bin/env", "LD_PRELOAD=" XMQ_FAIL_SHIM, "XMQ_FAIL_WRITE=journal.sqlite-wal:0", XMODEMQ_PATH, "send", "LINE", "D/FACT0002.TXT"}, 1, {"ne peut pas être écrit : disque plein : le transfert de ", "FACT0002.TXT n'est pas fait sans trace"}}},
       .json = {{{{"file", Q("D/FACT0001.TXT")}}}}},
      // clang-format on
      // Rows that wait for a cue come last, to start last: the others run on meanwhile.
      {.what = "a target that another program creates during the receive",
       .simulator = {"--baud", "19200"},
       .files = {{"store/FACT0002", kBill}},
       .args = {"receive", "LINE", "D/FACT0002.TXT", "--progress"},
       .status = 1,
       .said = {"FACT0002.TXT a été créé par un autre programme pendant la réception : il n'est "
                "pas remplacé ; le fichier reçu est gardé dans ",
                kPartial + "FACT0002.TXT"},
       .left = {{"FACT0002.TXT", kBill}, {"store/FACT0002", kBill}},
       .during = [](Process&, const fs::path& d,
                    Simulator*) { WriteFile(d / "FACT0002.TXT", "autre programme"); },
       .again = {"receive", "LINE", "D/FACT0002.TXT", "--replace"},
       .again_said = {"Reprise après les 60 blocs"}},
      {.what = "a file rewritten during its send",
       .simulator = {"--baud", "230400"},
       .files = {{"FACT0006.TXT", BillingRecords(600, 21)}},
       .args = {"send", "LINE", "D/FACT0006.TXT", "--progress"},
       .status = 0,
       .said = {"FACT0006.TXT envoyé : 600 blocs"},
       .left = {{"FACT0006.TXT", BillingRecords(600, 22)},
                {"store/FACT0006", BillingRecords(600, 21)}},
       .during = [](Process&, const fs::path& d,
                    Simulator*) { WriteFile(d / "FACT0006.TXT", BillingRecords(600, 22)); }},
      {.what = "the partial file swapped by another user during the receive",
       .simulator = {"--baud", "19200"},
       .files = {{"open/", ""}, {"store/FACT0002", kBill}},
       .args = {"receive", "LINE", "D/open/FACT0002.TXT", "--progress"},
       .status = 0,
       .left = {{"open/", ""},
                {"open/FACT0002.TXT", kBill},
                {"open/old/", ""},
                {"open/" + kPartial, ""},
                {"open/" + kPartial + "FACT0002.TXT", shared_forged},
                {"store/FACT0002", kBill}},
       .during =
           [shared_forged](Process&, const fs::path& d, Simulator*) {
             fs::rename(d / "open" / kPartial, d / "open/old");
             MakeTree(d / "open", {{kPartial + "FACT0002.TXT", shared_forged}});
             Intruders(d / "open" / kPartial, 0777);
             Intruders(d / "open" / kPartial / "FACT0002.TXT", 0666);
           },
       .setup = [](const fs::path& d) { fs::permissions(d / "open", fs::perms(0777)); },
       .two_users = true,
       .umask = 0,
       .modes = {{"open/FACT0002.TXT", 0600}}},
      {.what = "the partial folder swapped by another user while the modem dials",
       .simulator = {"--baud", "1200"},
       .files = {{"open/", ""}, {"store/FACT0002", kBill.substr(0, 2 * 128)}},
       .args = {"receive", "LINE", "D/open/FACT0002.TXT"},
       .status = 0,
       .left = {{"open/", ""},
                {"open/FACT0002.TXT", kBill.substr(0, 2 * 128)},
                {"open/old/", ""},
                {"open/" + kPartial, ""},
                {"open/" + kPartial + "FACT0002.TXT", shared_forged.substr(0, 128)},
                {"store/FACT0002", kBill.substr(0, 2 * 128)}},
       .during =
           [shared_forged](Process&, const fs::path& d, Simulator*) {
             fs::rename(d / "open" / kPartial, d / "open/old");
             MakeTree(d / "open", {{kPartial + "FACT0002.TXT", shared_forged.substr(0, 128)}});
             Intruders(d / "open" / kPartial, 0777);
             Intruders(d / "open" / kPartial / "FACT0002.TXT", 0666);
           },
       .cue = "Initialisation du modem",
       .setup = [](const fs::path& d) { fs::permissions(d / "open", fs::perms(0777)); },
       .two_users = true},
      {.what = "Ctrl-C while --pad makes its copy",
       .files = {{"FACT0008.TXT", pad_big}},
       .args = {"send", "LINE", "D/FACT0008.TXT", "--pad"},
       .status = 130,
       .said = {"Interrompu (Ctrl-C) avant l'appel : rien n'est envoyé ni reçu."},
       .env = FailureEnv("", "", {{"XMQ_SLOW_IO", "/tmp/xmodemq-:400"}}),
       .during = [](Process& client, const fs::path&, Simulator*) { client.Signal(SIGINT); },
       .cue = "",
       // While the copy is being made.
       .when =
           [pad_big](const fs::path& d) { return Holds(d / "tmp", "FACT0008", pad_big.size()); }},
      {.what = "Ctrl-C while pack works",
       .files = {{"big.txt", pad_big + pad_big + pad_big + pad_big}},
       .args = {"pack", "D/big.txt", "D/big.pk"},
       .status = 130,
       .said = {"xmodemq: Compactage interrompu : ", "big.pk n'est pas créé"},
       .env = FailureEnv("", "", {{"XMQ_SLOW_IO", "big.txt:1000"}}),
       .during = [](Process& client, const fs::path&, Simulator*) { client.Signal(SIGINT); },
       .cue = "",
       .when = [](const fs::path& d) { return Holds(d, ".xmodemq-"); }},
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
      PromptRow("\r", 1, {"Connexion impossible"}), PromptRow("\x03", 130, {"Interrompu (Ctrl-C) avant l'appel : rien n'est envoyé ni reçu."}),
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

// The far end of an in-process line that raises a signal in the command the
// moment the server has had the last acknowledgement of its `after`-th
// transfer: after the transfer ended well, before the command has seen it.
class LateSignal final : public sim::LinePeer {
 public:
  LateSignal(sim::SimulatedServer& server, std::size_t after, int signo)
      : server_(server), after_(after), signo_(signo) {}
  void OnHostBytes(std::string_view bytes) override {
    server_.OnHostBytes(bytes);
    const auto& done = server_.Transfers();
    if (!raised_ && std::count_if(done.begin(), done.end(), [](const auto& t) {
                      return t.completed;
                    }) == static_cast<std::ptrdiff_t>(after_)) {
      raised_ = true;
      ::raise(signo_);
    }
  }
  void OnDtr(bool on) override { server_.OnDtr(on); }
  void OnPortOpen(bool open) override { server_.OnPortOpen(open); }
  void OnCarrier(bool up) override { server_.OnCarrier(up); }

 private:
  sim::SimulatedServer& server_;
  std::size_t after_;
  int signo_;
  bool raised_ = false;
};

// Transfers on the virtual clock, where the server and the moment of a signal
// are set exactly: a signal once a transfer ended well, a server that resumes
// elsewhere than asked.
TEST(Command, InProcessTheCommandKeepsWhatMovedAndSaysWhatTheServerDid) {
  struct Late {
    std::string what;
    Command command;
    std::vector<std::string> names;
    // Raised once `after` transfers ended well; none when 0.
    int signo;
    std::size_t after;
    int status;
    // The files that end in place: received, or held by the server.
    std::size_t kept;
    std::vector<std::string> said;
    // A receive resumed after 20 blocks that the server answers here.
    std::optional<std::int64_t> resumed_at = {};
  };
  // clang-format off
  const std::vector<Late> rows = {
      {"a receive, Ctrl-C once it ended", Command::Receive, {"F1.TXT"}, SIGINT, 1, 0, 1, {"F1.TXT reçu : 60 blocs", "xmodemq: Ctrl-C reçu après la fin du transfert de ", "F1.TXT, qui est gardé.", "!Interrompu", "!relancez"}},
      {"two receives, SIGTERM once the first ended", Command::Receive, {"F1.TXT", "F2.TXT"}, SIGTERM, 1, 143, 1, {"F1.TXT reçu", "SIGTERM reçu après la fin du transfert de ", "la suite n'est pas transférée : 1 fichier sur 2 transféré : "}},
      {"a send, SIGHUP once it ended", Command::Send, {"F1.TXT"}, SIGHUP, 1, 0, 1, {"F1.TXT envoyé : 60 blocs", "SIGHUP, terminal fermé reçu après la fin du transfert"}},
      {"a receive resumed from the start", Command::Receive, {"F1.TXT"}, 0, 0, 0, 1, {"Reprise après les 20 blocs", "Le serveur ne reprend pas la réception interrompue : le fichier est reçu de nouveau en entier, à la place des 20 blocs gardés.", "F1.TXT reçu : 60 blocs"}, 0},
      {"a receive resumed earlier than asked", Command::Receive, {"F1.TXT"}, 0, 0, 0, 1, {"Le serveur reprend après le bloc 1, et non après les 20 blocs gardés", "F1.TXT reçu (repris après 1 blocs) : 59 blocs"}, 1},
      {"a receive resumed as asked", Command::Receive, {"F1.TXT"}, 0, 0, 0, 1, {"!Le serveur", "F1.TXT reçu (repris après 20 blocs) : 40 blocs"}, 20},
  };
  // clang-format on
  for (const Late& row : rows) {
    SCOPED_TRACE(row.what);
    TempDir dir;
    auto clock = std::make_shared<xmodemquarvel::VirtualClock>();
    auto port = std::make_unique<sim::SimulatedSerialPort>(clock);
    sim::SimulatedModem modem(*port);
    sim::SimulatedServer server(*port);
    LateSignal late(server, row.after, row.signo);
    if (row.signo != 0)
      modem.AttachServer(&late);
    else
      modem.AttachServer(&server);
    if (row.resumed_at) {
      server.Script().receive_position = row.resumed_at;
      MakeTree(dir.path(), {{kPartial + "F1.TXT", kBill.substr(0, 20 * 128)},
                            {kPartial + ".origine/F1.TXT", Origin("PS0001")}});
    }
    port->AttachPeer(&modem);
    Options options;
    options.user = "PS0001";
    for (const std::string& name : row.names) {
      const std::string path = (dir.path() / name).string();
      options.operands.push_back(path);
      if (row.command == Command::Send)
        WriteFile(path, kBill);
      else
        server.PutFile(name.substr(0, name.find('.')), kBill);
    }
    ::setenv("XMODEMQ_PASSWORD", kSecret, 1);
    ::setenv("TMPDIR", dir.path().c_str(), 1);
    ::setenv("XMODEMQ_JOURNAL", (dir / "journal.sqlite").c_str(), 1);
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = ::open_memstream(&text, &size);
    SessionHost host{clock, std::move(port), out, false, {}};
    const int status = row.command == Command::Send ? RunSend(options, std::move(host))
                                                    : RunReceive(options, std::move(host));
    std::fclose(out);
    const std::string said(text, size);
    std::free(text);
    ::unsetenv("XMODEMQ_PASSWORD");
    ::unsetenv("TMPDIR");
    ::unsetenv("XMODEMQ_JOURNAL");
    EXPECT_EQ(status, row.status) << said;
    Said(said, row.said);
    for (std::size_t i = 0; i < row.names.size(); ++i) {
      const std::string& name = row.names[i];
      const auto held = row.command == Command::Send
                            ? server.File(name.substr(0, name.find('.'))).value_or("")
                            : ReadFile(dir.path() / name);
      EXPECT_EQ(held, i < row.kept ? kBill : "") << name;
    }
  }
}

// Whatever this packer writes, unpack takes without a refusal nor a warning.
TEST(Command, EveryFileThePackerWritesPassesUnpacksChecks) {
  TempDir dir;
  const std::string bill = BillingRecords(40, 3);
  std::string bytes;
  for (int i = 0; i < 40 * 128; ++i) bytes.push_back(static_cast<char>(i * 7919 % 251));
  for (const std::string& source :
       {std::string(), std::string(1, 'x'), bill.substr(0, 127), bill.substr(0, 128),
        bill.substr(0, 129), bill, bill.substr(0, 35 * 128 + 77), bytes, std::string(5000, ' '),
        std::string(5000, '7'), std::string(5000, '\xFA')}) {
    const std::string packed = Packed(source);
    WriteFile(dir / "p", packed);
    WriteFile(dir / "u", source + std::string((128 - source.size() % 128) % 128, ' '));
    const int p = ::open((dir / "p").c_str(), O_RDONLY | O_CLOEXEC);
    const int u = ::open((dir / "u").c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(NotPacked(p, static_cast<int64_t>(packed.size())), std::nullopt) << source.size();
    // One block is an empty file's, which unpacks to a block of its own.
    if (packed.size() > 128) {
      EXPECT_TRUE(RepacksTheSame(p, u)) << source.size();
    }
    ::close(p);
    ::close(u);
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

// While the component waits, the progress line tells what for, the attempt
// and the time left, once a wait has gone a second without a block or from
// its second attempt; plain lines get one line an attempt.
TEST(Command, ProgressDuringAWaitTellsTheAttemptAndTheTimeLeft) {
  using Awaiting = xmodemquarvel::WaitState::Awaiting;
  const auto wait = [](int32_t attempt, std::chrono::milliseconds left) {
    xmodemquarvel::WaitState w;
    w.awaiting = Awaiting::kServer;
    w.sent = attempt > 1 ? "NAK" : "ACK";
    w.expected = "trame 13 ou EOT";
    w.attempt = attempt;
    w.attempts = 10;
    w.remaining = left;
    return w;
  };
  for (const std::size_t columns : {std::size_t{100}, std::size_t{40}, std::size_t{20}}) {
    SCOPED_TRACE(columns);
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = ::open_memstream(&text, &size);
    auto clock = std::make_shared<xmodemquarvel::VirtualClock>();
    std::vector<std::string> drawn;
    {
      xmodemq::Progress progress(
          out, ProgressMode::Bar, "Réception", 40, [&] { return columns; }, clock);
      const auto last_line = [&] {
        std::fflush(out);
        return ScreenLines(std::string(text, size)).back();
      };
      progress.Block(12);
      clock->Advance(500ms);
      progress.Waiting(wait(1, 9500ms));  // half a second: not yet
      drawn.push_back(last_line());
      clock->Advance(1s);
      progress.Waiting(wait(1, 8500ms));
      drawn.push_back(last_line());
      clock->Advance(100ms);
      progress.Waiting(wait(1, 8400ms));  // the same second: no redraw
      drawn.push_back(last_line());
      progress.Waiting(wait(3, 10000ms));
      drawn.push_back(last_line());
      progress.Block(13);
      drawn.push_back(last_line());
    }
    std::fclose(out);
    std::free(text);
    EXPECT_EQ(drawn[0].find("tentative"), std::string::npos) << drawn[0];
    EXPECT_EQ(drawn[1], drawn[2]);
    if (columns == 100) {
      EXPECT_NE(drawn[1].find("bloc 12/40, attend trame 13 ou EOT (tentative 1/10, encore 9 s)"),
                std::string::npos)
          << drawn[1];
    }
    // At any width: the attempt and the time left, never past the width.
    EXPECT_NE(drawn[3].find("3/10"), std::string::npos) << drawn[3];
    EXPECT_NE(drawn[3].find("10 s"), std::string::npos) << drawn[3];
    for (const std::string& line : drawn) EXPECT_LT(Width(line), columns) << line;
    EXPECT_EQ(drawn[4].find("3/10"), std::string::npos) << "a block ends the wait: " << drawn[4];
    EXPECT_NE(drawn[4].find(columns >= 40 ? "bloc 13/40" : "13/40"), std::string::npos) << drawn[4];
  }
  // Plain lines: one for each attempt from the second.
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* out = ::open_memstream(&text, &size);
  {
    auto clock = std::make_shared<xmodemquarvel::VirtualClock>();
    xmodemq::Progress progress(out, ProgressMode::Lines, "Réception", 40, {}, clock);
    progress.Block(12);
    clock->Advance(5s);
    for (const int32_t attempt : {1, 2, 2, 3}) progress.Waiting(wait(attempt, 5000ms));
  }
  std::fclose(out);
  const std::string lines(text, size);
  std::free(text);
  EXPECT_EQ(Count(lines, "\n"), 3u) << lines;
  EXPECT_EQ(Count(lines, "bloc 12/40, attend trame 13 ou EOT (tentative 2/10)\n"), 1u) << lines;
  EXPECT_EQ(Count(lines, "(tentative 3/10)\n"), 1u) << lines;
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
