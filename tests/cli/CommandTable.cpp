#include "CommandTable.h"

#include <cctype>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ranges>

#include <gtest/gtest.h>

#include "files/Sha256.h"
#include "modem/ServerNumber.h"
#include "pack/PackFiles.h"

namespace xmodemq::test {

namespace {

// The members of a transfer's JSON object, sorted by name.
const std::vector<std::string> kTransferMembers = {
    "again",        "blocks",      "bytes",       "call_id", "description", "direction",
    "ended",        "exit_status", "file",        "id",      "line",        "result",
    "resumed_from", "server",      "server_name", "sha256",  "started",     "user"};

// The objects of `text` against what they must hold.
void ExpectObjects(const std::string& text, const std::vector<JsonFields>& want,
                   const fs::path& d) {
  const auto got = ParseJsonLines(text);
  ASSERT_TRUE(got) << "not JSON lines:\n" << text;
  ASSERT_EQ(got->size(), want.size()) << text;
  for (std::size_t i = 0; i < want.size(); ++i) {
    const JsonFields& object = (*got)[i];
    if (object.count("direction") != 0) {
      EXPECT_TRUE(std::ranges::equal(object, kTransferMembers, {}, &JsonFields::value_type::first))
          << text;
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

// A command's end: its status and texts, never the password; a refusal
// prints nothing on stdout, --json or not (on a terminal, the prompt shows).
void Ended(const Outcome& r, int status, const std::vector<std::string>& said,
           bool terminal = false) {
  EXPECT_EQ(r.status, status) << r.All();
  Said(r.All(), said);
  Said(r.All(), {"!" + std::string(kSecret)});
  if (status == 2 && !terminal) {
    EXPECT_EQ(r.out, "");
  }
}

// What `xmodemq journal --json` lists in that environment, for that user.
std::string JournalJson(const Env& env, std::optional<uid_t> as) {
  const Outcome r = Process({XMODEMQ_PATH, "journal", "--json"}, env, {}, {}, as).Wait(30s);
  EXPECT_EQ(r.status, 0) << r.All();
  return r.out;
}

}  // namespace

// Another user of the machine, for the rows where someone else owns files:
// made once when the tests run as root (and removed at exit), else none.
std::optional<uid_t> Intruder() {
  static const std::optional<uid_t> uid = []() -> std::optional<uid_t> {
    static constexpr const char* kName = "xmq-intrus";
    if (::geteuid() != 0) return std::nullopt;
    // Test programs run side by side (ctest -j2) share the user: each holds a
    // shared lock on this file while it runs, and the last one to leave, the
    // only one that can take it whole, removes the user.
    static const int lock =
        ::open("/run/xmq-intrus.lock", O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (lock < 0 || ::flock(lock, LOCK_EX) != 0) return std::nullopt;
    if (::getpwnam(kName) == nullptr &&
        std::system("useradd --system --no-create-home --shell /usr/sbin/nologin xmq-intrus "
                    ">/dev/null 2>&1") != 0) {
      ::flock(lock, LOCK_UN);
      return std::nullopt;
    }
    ::flock(lock, LOCK_SH);
    std::atexit([] {
      if (::flock(lock, LOCK_EX | LOCK_NB) == 0)
        (void)!std::system("userdel xmq-intrus >/dev/null 2>&1");
    });
    if (const passwd* p = ::getpwnam(kName)) return p->pw_uid;
    return std::nullopt;
  }();
  return uid;
}

Tree ReadTree(const fs::path& dir) {
  Tree tree;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    const std::string name = entry.path().lexically_relative(dir).string();
    if (entry.is_directory() && !entry.is_symlink())
      tree[name + "/"] = "";
    else
      tree[name] = entry.is_symlink()                                   ? "@"
                   : entry.is_fifo()                                    ? "|"
                   : entry.is_character_file() || entry.is_block_file() ? "#"
                                                                        : ReadFile(entry.path());
  }
  return tree;
}

// `path` made the intruder's, with `mode` (a link keeps its own).
void Intruders(const fs::path& path, mode_t mode) {
  ASSERT_EQ(::lchown(path.c_str(), *Intruder(), *Intruder()), 0) << path;
  if (!fs::is_symlink(path)) {
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
  }
}

void GiveAway(const fs::path& dir) {
  if (!Intruder()) return;
  ASSERT_EQ(::lchown(dir.c_str(), *Intruder(), *Intruder()), 0) << dir;
  if (!fs::is_directory(fs::symlink_status(dir))) return;
  for (const auto& entry : fs::recursive_directory_iterator(dir))
    ASSERT_EQ(::lchown(entry.path().c_str(), *Intruder(), *Intruder()), 0) << entry.path();
}

// "début : ...": the origin of a partial file started at `when` (a time_t),
// as the command writes it beside the file.
std::string Origin(const std::string& user, std::time_t when) {
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
  // A character of U+3000 to U+9FFF (lead bytes E3 to E9: CJK) takes two columns.
  std::size_t n = 0;
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    n += (b & 0xC0) == 0x80 ? 0 : b >= 0xE3 && b <= 0xE9 ? 2 : 1;
  }
  return n;
}

// Preloads the failure shim (see FailShim.cpp): `open_fail` is TEXT:ERRNO,
// `write_fail` TEXT:BYTES. An instrumented xmodemq wants its runtime first.
Env FailureEnv(const std::string& open_fail, const std::string& write_fail, const Env& more) {
  const char* asan = std::getenv("ASAN_OPTIONS");
  Env env = {{"LD_PRELOAD", XMQ_FAIL_SHIM},
             {"ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0"}};
  if (!open_fail.empty()) env["XMQ_FAIL_OPEN"] = open_fail;
  if (!write_fail.empty()) env["XMQ_FAIL_WRITE"] = write_fail;
  env.insert(more.begin(), more.end());
  return env;
}

std::string Sha256Of(const std::string& bytes) {
  Sha256 sha;
  sha.Update(bytes.data(), bytes.size());
  return Hex(sha.Peek());
}

// Whether D holds, at any depth, a file whose name begins with `prefix` and
// that is still smaller than `below` bytes.
bool Holds(const fs::path& d, const std::string& prefix, std::uintmax_t below) {
  for (const auto& entry : fs::recursive_directory_iterator(d))
    if (entry.is_regular_file() && entry.path().filename().string().rfind(prefix, 0) == 0 &&
        entry.file_size() < below)
      return true;
  return false;
}

std::vector<std::string> Expand(const std::vector<std::string>& args, const fs::path& d,
                                std::vector<std::string> out, const Simulator* sim) {
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
    const bool shown = s[0] != '!';
    EXPECT_EQ(text.find(shown ? s : s.substr(1)) != std::string::npos, shown) << s << "\n" << text;
  }
}

void Expect(const Outcome& r, int status, const std::vector<std::string>& err) {
  EXPECT_EQ(r.status, status) << r.All();
  Said(r.err, err);
}

// All rows run at once, each row's commands in turn.
struct TableRun::Run {
  TempDir dir;
  // Where the journal is, unless the row says.
  TempDir state;
  std::unique_ptr<Simulator> sim;
  Tree before;
  Env env;
  std::unique_ptr<Process> process;
  // The user it runs as, when not the tests' own.
  std::optional<uid_t> as;
};

TableRun::TableRun(std::vector<Row> rows) : rows_(std::move(rows)), missed_(rows_.size()) {
  // The rows that act on a cue start last, once every folder and simulator is
  // ready, and each is watched from its start on: a process takes a while to
  // start (more under the sanitizers), and a row left alone while the others
  // start could end before its cue is seen (a receive killed midway would
  // complete).
  std::stable_partition(rows_.begin(), rows_.end(),
                        [](const Row& row) { return !row.during && row.resize == 0; });
  for (const Row& row : rows_) {
    Run& run = *runs_.emplace_back(std::make_unique<Run>());
    const fs::path d = run.dir.path();
    MakeTree(d, row.files);
    MakeTree(d, {{"store/", ""}, {"tmp/", ""}});
    if (row.second_user && Intruder()) {
      run.as = Intruder();
      GiveAway(d);
      GiveAway(run.state.path());
    }
    if (row.setup) row.setup(d);
    // A line for the rows that name one: a call there would show in its log.
    if (!row.simulator.empty() ||
        std::ranges::count(row.args, "LINE") + std::ranges::count(row.args, "D/modem") != 0)
      run.sim = std::make_unique<Simulator>(
          run.dir, Expand(row.simulator, d, {"--store", (d / "store").string()}), fs::path(),
          run.as);
    run.before = ReadTree(d);
    run.env = row.env;
    for (auto& [name, value] : run.env)
      if (value && value->rfind("D/", 0) == 0) value = (d / value->substr(2)).string();
    run.env.insert({{"XMODEMQ_PASSWORD", kSecret},
                    {"TMPDIR", (d / "tmp").string()},
                    {"XMODEMQ_JOURNAL", (run.state / "journal.sqlite").string()}});
  }
  // Each row's action as soon as its own cue shows, whatever the others do.
  std::vector<std::size_t> waiting;
  const auto acted = [&](std::size_t i) {
    Process& process = *runs_[i]->process;
    if (!process.Await(rows_[i].cue, 2ms)) return false;
    if (rows_[i].when && !rows_[i].when(runs_[i]->dir.path())) return false;
    if (rows_[i].resize != 0) process.Resize(rows_[i].resize);
    if (rows_[i].during) rows_[i].during(process, runs_[i]->dir.path(), runs_[i]->sim.get());
    return true;
  };
  for (std::size_t i = 0; i < rows_.size(); ++i) {
    const Row& row = rows_[i];
    Run& run = *runs_[i];
    const mode_t mask = ::umask(row.umask.value_or(022));
    if (!row.umask) ::umask(mask);
    run.process =
        std::make_unique<Process>(Expand(row.args, run.dir.path(), {XMODEMQ_PATH}, run.sim.get()),
                                  run.env, fs::path(), row.columns, run.as);
    ::umask(mask);
    if (row.during || row.resize != 0) waiting.push_back(i);
    std::erase_if(waiting, acted);
  }
  for (const auto until = std::chrono::steady_clock::now() + 20s;
       !waiting.empty() && std::chrono::steady_clock::now() < until;)
    std::erase_if(waiting, acted);
  for (std::size_t i : waiting)
    missed_[i] = "never showed « " + rows_[i].cue + " »\n" + runs_[i]->process->OutSoFar() +
                 runs_[i]->process->ErrSoFar();
}

TableRun::~TableRun() = default;

const std::vector<Row>& AllRows() {
  static const std::vector<Row> rows = [] {
    std::vector<Row> all;
    for (auto group : {CallRows, UsageRows, FileRows, JournalRows, CueRows})
      std::ranges::move(group(), std::back_inserter(all));
    return all;
  }();
  return rows;
}

const std::vector<std::string>& RowNames() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> out;
    std::map<std::string, int> seen;
    for (const Row& row : AllRows()) {
      std::string name;
      bool upper = true;
      for (const char c : row.what) {
        if (!std::isalnum(static_cast<unsigned char>(c))) {
          upper = true;
          continue;
        }
        name += upper ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
        upper = false;
      }
      if (const int n = ++seen[name]; n > 1) name += std::to_string(n);
      out.push_back(name);
    }
    return out;
  }();
  return names;
}

std::size_t TableRun::Find(const std::string& what) const {
  for (std::size_t i = 0; i < rows_.size(); ++i)
    if (rows_[i].what == what) return i;
  return rows_.size();
}

void TableRun::Check(std::size_t i) {
  const Row& row = rows_[i];
  Run& run = *runs_[i];
  EXPECT_EQ(missed_[i], "");
  const fs::path d = run.dir.path();
  SCOPED_TRACE(row.what);
  const Outcome r = run.process->Wait(60s);
  Ended(r, row.status, row.said, row.columns.has_value());
  if (run.sim) Said(run.sim->Log(), {"!" + std::string(kSecret)});
  if (row.columns) {
    EXPECT_TRUE(run.process->EchoOn());
    // Never wider than the terminal; redrawn in place, leaving no trail.
    const std::size_t first = *row.columns != 0 ? *row.columns : 80;
    const std::size_t last = row.resize != 0 ? row.resize : first;
    EXPECT_LT(Count(r.out, "\n"), row.max_lines) << r.out;
    // Up to the first block: the status lines of the dial (an error is not cut).
    for (const std::string& line : ScreenLines(r.out.substr(0, r.out.find("bloc "))))
      EXPECT_TRUE(line.rfind("xmodemq:", 0) == 0 || Width(line) < first) << line;
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
    Ended(Process(Expand(then.args, d, program, run.sim.get()), run.env, {}, {}, run.as).Wait(60s),
          then.status, then.said);
  }
  if (row.json) {
    const bool json_out = std::ranges::count(row.args, "--json") != 0;
    ExpectObjects(json_out ? r.out : JournalJson(run.env, run.as), *row.json, d);
    // Transfers on stdout are the journal's own rows, all of them (the row's
    // command is the only one that writes to its journal).
    const auto out = ParseJsonLines(r.out);
    if (json_out && out && !out->empty() && out->front().count("direction") != 0 &&
        std::ranges::count(row.args, "--no-journal") == 0) {
      EXPECT_EQ(ParseJsonLines(JournalJson(run.env, run.as)), out);
    }
  }
  if (row.check) row.check(r, d);
  for (const auto& [name, mode] : row.modes)
    EXPECT_EQ(fs::symlink_status(d / name).permissions(), fs::perms(mode)) << name;
  if (row.dials) {
    EXPECT_EQ(Count(run.sim->Log(), "simulateur : numérotation"), *row.dials);
  }
  if (!row.logged.empty()) {
    run.sim->Await(row.logged.back(), 5s);
    const std::string log = run.sim->Log();
    // Each text after the one before it.
    std::size_t at = 0;
    for (const std::string& text : row.logged) {
      Said(log.substr(std::min(at, log.size())), {text});
      if (text[0] != '!') at = std::min(log.find(text, at), log.size()) + text.size();
    }
  }
  if (row.left.count("=") != 0) {
    EXPECT_EQ(ReadTree(d), run.before);
    if (run.sim) {
      EXPECT_EQ(run.sim->Openings(), 0u) << "a call was made";
    }
    return;
  }
  Tree want = row.left;
  want.insert({{"store/", ""}, {"tmp/", ""}});
  if (run.sim && run.sim->Link() == (d / "modem").string()) want["modem"] = "@";
  Tree got = ReadTree(d);
  for (const auto& wanted : want) {
    const auto under = [&](const auto& entry) { return entry.first.rfind(wanted.first, 0) == 0; };
    if (wanted.second == "*" && std::erase_if(got, under) != 0) got[wanted.first] = "*";
  }
  EXPECT_EQ(got, want);
}

}  // namespace xmodemq::test
