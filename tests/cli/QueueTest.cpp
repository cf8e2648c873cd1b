// Several machines, one queue: workers (each a profile of its own, run twice
// at a time as two timers would) on the tests' PostgreSQL server, six
// remote lines to one simulated server's store, files submitted once. What
// reached the server is counted from the simulators' own logs.
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <thread>

#include "CommandTable.h"
#include "journal/postgresql/PgConnection.h"
#include "postgresql/PgServer.h"
#include "queue/PgQueue.h"

namespace xmodemq::test {
namespace {

using Steady = std::chrono::steady_clock;

// Under the sanitizers the runs are shorter: XMQ_QUEUE_SCALE (a divisor)
// says by how much, 4 by default there, 1 elsewhere.
int Scale() {
  const char* scale = std::getenv("XMQ_QUEUE_SCALE");
  return std::max(1, scale && *scale ? std::atoi(scale) : kUnderAddressSanitizer ? 4 : 1);
}

// How many sends of `name` reached their end at the server: a send cut
// off before its end and resumed ends once, whatever the blocks it still
// had to carry; a second send of a file that arrived would end again.
std::size_t Arrivals(const std::string& log, const std::string& name) {
  return Count(log, "envoi de « " + name + " » reçu en entier, ");
}

// A worker's profile `name` in `d` (account PS01, `lines`, the queue on
// `journal`, then `more`) and the password file beside it, both 0600.
void Worker(const TempDir& d, const std::string& name, const std::vector<std::string>& lines,
            const std::string& journal, const std::string& more = "") {
  WritePrivate(d / "pw", std::string(kSecret) + "\n");
  std::string list;
  for (const std::string& line : lines) list += (list.empty() ? "\"" : ", \"") + line + "\"";
  WritePrivate(d / name, "user = \"PS01\"\npassword_file = \"pw\"\nqueue = true\nlines = [" + list +
                             "]\njournal = \"" + journal + "\"\n" + more);
}

// `xmodemq ARGS... --profile D/PROFILE` in `env`.
Outcome Profiled(const TempDir& d, std::vector<std::string> args, const Env& env,
                 const std::string& profile = "w.toml") {
  args.insert(args.end(), {"--profile", (d / profile).string()});
  return Xmq(std::move(args), env);
}

std::string FileName(int i) {
  char name[16];
  std::snprintf(name, sizeof name, "F%07d.TXT", i);
  return name;
}

// A worker's folder D: its profile w.toml (`more` at its end) on the queue
// in the schema `schema`, with a remote line to a simulated server whose
// store is D/store (holding `stored`).
struct Station {
  TempDir d;
  std::string address;
  Env env = {{"XDG_STATE_HOME", (d / "state").string()}, {"TMPDIR", d.path().string()}};
  std::unique_ptr<Simulator> sim;
  Station(const std::string& schema, const std::string& more, const Tree& stored = {})
      : address(TheServer()->JournalAddress(schema)) {
    MakeTree(d.path(), {{"store/", ""}});
    MakeTree(d / "store", stored);
    sim = std::make_unique<Simulator>(
        d, std::vector<std::string>{"--listen", "127.0.0.1:0", "--store", (d / "store").string()});
    Worker(d, "w.toml", {sim->Link()}, address, more);
  }
  // `xmodemq exchange WHAT --json` of a profile.
  Outcome Exchange(const char* what = "--now", const std::string& profile = "w.toml") const {
    return Profiled(d, {"exchange", what, "--json"}, env, profile);
  }
};

// One run of a worker after another, as its timer starts them.
struct Slot {
  int worker = 0;
  std::unique_ptr<Process> run = {};
  Steady::time_point first_sent = {};
  // Runs ended by each exit status (128 + 9: killed).
  std::map<int, int> ended = {};
  bool paused = false;
};

// The database, the server's six lines with their one store, and three
// workers with two lines each (worker W: lines 2W and 2W+1), the last one
// under a role of its own so that it alone can be cut from the database.
struct Farm {
  TempDir d;
  std::string address, cut_address;
  std::vector<std::unique_ptr<Simulator>> lines;
  std::vector<Slot> slots;
  std::map<std::string, std::string> files;
  std::string sims_log;

  explicit Farm(const std::string& schema, int baud) {
    address = TheServer()->JournalAddress(schema);
    PgConnection admin(TheServer()->Address("xmodemq"));
    admin.RunScript("SET password_encryption = 'scram-sha-256'; CREATE ROLE " + schema +
                    "_cut LOGIN PASSWORD 'Cut-pass1' IN ROLE xmodemq");
    cut_address = TheServer()->Address("xmodemq", schema + "_cut", "Cut-pass1") +
                  address.substr(address.find('?'));
    fs::create_directories(d / "store");
    for (int i = 0; i < 6; ++i)
      lines.push_back(std::make_unique<Simulator>(
          d, std::vector<std::string>{"--listen", "127.0.0.1:0", "--store", (d / "store").string(),
                                      "--resume-sends", "--baud", std::to_string(baud)}));
    for (int w = 0; w < 3; ++w) {
      Worker(d, "w" + std::to_string(w) + ".toml", {lines[2 * w]->Link(), lines[2 * w + 1]->Link()},
             w == 2 ? cut_address : address, "lease = \"4s\"\n");
      slots.push_back({w});
      slots.push_back({w});
    }
    fs::create_directories(d / "tmp");
  }
  Env Environment() const {
    return {{"XMODEMQ_PASSWORD", std::nullopt},
            {"XDG_STATE_HOME", (d / "state").string()},
            {"TMPDIR", (d / "tmp").string()}};
  }
  // `count` new files, submitted at once by the billing software.
  void Submit(int first, int count) {
    std::vector<std::string> args = {XMODEMQ_PATH, "submit", "--profile", (d / "w0.toml").string()};
    std::mt19937 sizes(static_cast<unsigned>(first));
    for (int i = first; i < first + count; ++i) {
      const std::string content =
          BillingFile(4 + static_cast<int>(sizes() % 12), static_cast<unsigned>(i));
      WriteFile(d / FileName(i), content);
      files[FileName(i).substr(0, 8)] = content;
      args.push_back((d / FileName(i)).string());
    }
    const Outcome r = Process(args, Environment()).Wait(120s);
    ASSERT_EQ(r.status, 0) << r.All();
  }
  // Whether every file submitted reached the server: its send ended in a
  // simulator's log.
  bool AllThere() {
    sims_log.clear();
    for (auto& line : lines) sims_log += line->Log();
    return std::ranges::all_of(files,
                               [&](const auto& f) { return Arrivals(sims_log, f.first) > 0; });
  }
  // Runs the workers until every file is there, then lets the runs end;
  // `fault` is called between two looks.
  void Serve(std::chrono::seconds limit, const std::function<void()>& fault = {}) {
    const auto end = Steady::now() + limit;
    bool there = false;
    auto looked = Steady::now();
    while (Steady::now() < end) {
      bool running = false;
      for (Slot& s : slots) {
        if (s.run && s.run->Pump(10ms)) {
          running = true;
          if (s.first_sent == Steady::time_point{} &&
              s.run->ErrSoFar().find(" envoyé") != std::string::npos)
            s.first_sent = Steady::now();
          continue;
        }
        if (s.run) {
          const Outcome r = s.run->Wait(5s);
          ++s.ended[r.status];
          EXPECT_TRUE(r.status == 0 || r.status == 10 || r.status == 75 || r.status == 128 + 9)
              << r.All();
          s.run.reset();
        }
        if (there || s.paused) continue;
        s.run = std::make_unique<Process>(
            std::vector<std::string>{XMODEMQ_PATH, "exchange", "--now", "--profile",
                                     (d / ("w" + std::to_string(s.worker) + ".toml")).string()},
            Environment());
        s.first_sent = {};
        running = true;
      }
      if (fault) fault();
      if (!there && Steady::now() > looked + 500ms) {
        there = AllThere();
        looked = Steady::now();
      }
      if (there && !running) break;
    }
    ASSERT_TRUE(there) << "les fichiers ne sont pas tous arrivés";
  }
  // What the queue and the journal say of a file, when it went wrong.
  std::string Story(const std::string& name) const {
    PgConnection db(address);
    std::string story;
    const PgResult q = db.Execute(
        "SELECT state || ' ' || coalesce(holder, '') || ' ' || description FROM queue_files "
        "WHERE name LIKE $1",
        {name + "%"});
    for (int i = 0; i < q.Rows(); ++i) story += "\nqueue: " + q.Text(i, 0);
    const PgResult j = db.Execute(
        "SELECT coalesce(result, '-') || ' ' || process || ' ' || coalesce(description, '') "
        "FROM transfers WHERE file LIKE $1 ORDER BY id",
        {"%" + name + "%"});
    for (int i = 0; i < j.Rows(); ++i) story += "\njournal: " + j.Text(i, 0);
    return story;
  }
  // Every file once on the server, byte for byte.
  void ExactlyOnce() {
    AllThere();
    for (const auto& [name, content] : files) {
      EXPECT_EQ(Arrivals(sims_log, name), 1u) << name << Story(name);
      EXPECT_EQ(ReadFile(d / "store" / name), content) << name;
    }
  }
};

TEST(Queue, ThreeWorkersSendEveryFileOnceEvenWhenTheyDieOrLoseTheDatabase) {
  XMQ_NEED_POSTGRESQL();
  const int scale = Scale();
  Farm farm("farm", 38400);
  farm.Submit(1, 300 / scale);
  farm.Serve(100s);
  farm.ExactlyOnce();
  // Every worker took its share: a run of each sent files.
  for (int w = 0; w < 3; ++w)
    EXPECT_TRUE(std::ranges::any_of(
        farm.slots, [w](const Slot& s) { return s.worker == w && s.ended.count(0) > 0; }))
        << "worker " << w;

  // Worker 0 killed in the middle of its transfers, at seeded moments after
  // its call sent a first file; worker 2 cut from the database in a call.
  farm.Submit(1001, 240 / scale);
  std::mt19937 seed(38);
  int kills = 0;
  const int want = 20 / scale;
  auto delay = std::chrono::milliseconds(seed() % 250);
  std::optional<Steady::time_point> cut;
  pid_t cut_pid = 0;
  farm.Serve(150s, [&] {
    for (Slot& s : farm.slots) {
      if (!s.run || s.first_sent == Steady::time_point{}) continue;
      if (s.worker == 0 && kills < want && Steady::now() > s.first_sent + delay) {
        s.run->Signal(SIGKILL);
        ++kills;
        delay = std::chrono::milliseconds(seed() % 250);
        s.first_sent = {};
      }
      if (s.worker == 2 && !cut && kills >= want / 2) {
        PgConnection admin(TheServer()->Address("xmodemq"));
        admin.RunScript(
            "ALTER ROLE farm_cut NOLOGIN; SELECT pg_terminate_backend(pid) FROM "
            "pg_stat_activity WHERE usename = 'farm_cut'");
        cut = Steady::now();
        cut_pid = s.run->Pid();
        // Its other run, and the later ones, find no database: they stop.
        for (Slot& other : farm.slots) other.paused = other.paused || other.worker == 2;
      }
      // The run cut off stops its transfer and hangs up before its lease
      // (4 s) can end: at half of it, plus a renewal's interval.
      if (cut && s.run->Pid() == cut_pid && Steady::now() > *cut + 4s) {
        ADD_FAILURE() << "still running 4 s after the cut: " << s.run->ErrSoFar();
        cut_pid = 0;
      }
    }
  });
  EXPECT_GE(kills, want);
  ASSERT_TRUE(cut.has_value());
  farm.ExactlyOnce();
  // The victims' files were finished by others: a send that did not end
  // well, then one of the same content by another process that did.
  PgConnection db(farm.address);
  const int finished_by_others =
      db.Execute(
            "SELECT count(DISTINCT t.sha256) FROM transfers t JOIN transfers u ON u.sha256 = "
            "t.sha256 AND u.process <> t.process AND u.id < t.id WHERE t.result = 'rvTrue' AND "
            "u.direction = 'send' AND (u.result IS NULL OR u.result <> 'rvTrue')")
          .Int(0, 0);
  EXPECT_GE(finished_by_others, std::min(want, 2)) << "resumed after a victim";
  int exits_later = 0;
  for (const Slot& s : farm.slots) exits_later += s.ended.count(75) ? s.ended.at(75) : 0;
  EXPECT_GT(exits_later, 0) << "the run cut off did not end as one to try later";
}

// A run cut from the database in the middle of a long send stops it and
// hangs up at half its lease, though its line still works; once the lease
// has ended, the next run resumes the send where the server is.
TEST(Queue, ARunThatCannotRenewItsLeaseHangsUpAndTheNextOneResumes) {
  XMQ_NEED_POSTGRESQL();
  Farm farm("halfway", 19200);
  const std::string big = BillingFile(150, 5);
  WriteFile(farm.d / "BIG.TXT", big);
  Expect(Profiled(farm.d, {"submit", (farm.d / "BIG.TXT").string()}, farm.Environment(), "w0.toml"),
         0);
  const auto run = [&] {
    return std::make_unique<Process>(
        std::vector<std::string>{XMODEMQ_PATH, "exchange", "--now", "--json", "--profile",
                                 (farm.d / "w2.toml").string()},
        farm.Environment());
  };
  auto cut = run();
  ASSERT_TRUE(farm.lines[4]->Await("envoi de « BIG »", 30s)) << farm.lines[4]->Log();
  std::this_thread::sleep_for(1s);
  PgConnection admin(TheServer()->Address("xmodemq"));
  admin.RunScript(
      "ALTER ROLE halfway_cut NOLOGIN; SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
      "WHERE usename = 'halfway_cut'");
  const auto at = Steady::now();
  // Hung up at half of its 4 s lease after its last renewal, which came
  // at most a renewal's interval before the cut: well before the lease ends.
  EXPECT_TRUE(farm.lines[4]->Await("client : DTR baissé", 5s));
  EXPECT_LT(Steady::now() - at, 3s);
  const Outcome stopped = cut->Wait(30s);
  Ends(stopped, 75, {});
  Said(One(stopped).at("message"), {"transfert arrêté et ligne raccrochée"});
  EXPECT_EQ(Arrivals(farm.lines[4]->Log(), "BIG"), 0u);
  // Back in the database once the lease has ended.
  admin.RunScript("ALTER ROLE halfway_cut LOGIN");
  std::this_thread::sleep_for(4s);
  Ends(run()->Wait(120s), 0, {{"sent", "1"}});
  const std::string log = farm.lines[4]->Log() + farm.lines[5]->Log();
  EXPECT_EQ(Arrivals(log, "BIG"), 1u) << log;
  // The blocks the server held were not sent again.
  EXPECT_EQ(Count(log, "envoi de « BIG » reçu en entier, 150 trames"), 0u) << log;
  EXPECT_EQ(ReadFile(farm.d / "store/BIG"), big);
}

// A worker whose every line another machine holds dials nothing and says
// so (75); one line freed, it runs.
TEST(Queue, AWorkerWhoseLinesAreAllHeldElsewhereTriesLater) {
  XMQ_NEED_POSTGRESQL();
  TempDir d;
  const std::string address = TheServer()->JournalAddress("taken");
  const std::vector<std::string> lines = {"rfc2217://127.0.0.1:1", "rfc2217://127.0.0.1:2"};
  Worker(d, "w.toml", lines, address);
  auto other = PgQueue::Open(address, "another machine", 60s);
  std::vector<LineLease> held;
  for (const std::string& line : lines)
    held.push_back(*other->ClaimLine(PgQueue::LineKey(line, PgQueue::ThisMachine())));
  const Env env = {{"XDG_STATE_HOME", (d / "state").string()}};
  Ends(Profiled(d, {"exchange", "--now", "--json"}, env), 75,
       {{"message", Q("toutes les lignes du profil sont tenues par d'autres postes")}});
  // Who holds them, as any machine reads it, from a profile without a spool.
  const JsonFields status = One(Profiled(d, {"exchange", "status", "--json"}, env));
  Said(status.at("queue_line_leases"), {lines[1] + " : another machine : "});
  EXPECT_TRUE(other->ReleaseLine(held[1]));
  Ends(Profiled(d, {"exchange", "--now", "--json"}, env), 10,
       {{"message", Q("rien à envoyer : la file est vide")}});
}

// Two versions of one name waiting: one call sends the older, the next the
// newer, each whole. A file whose bytes in the database are damaged is held
// for a person, and the others go: neither stops the queue or its line.
TEST(Queue, TwoVersionsOfANameGoInTwoCallsAndADamagedFileIsHeld) {
  XMQ_NEED_POSTGRESQL();
  const Station s("versions", "");
  const TempDir& d = s.d;
  const std::vector<std::pair<std::string, std::string>> files = {
      {"1/FACT0001.TXT", BillingFile(3, 1)},
      {"2/FACT0002.TXT", BillingFile(2, 3)},
      {"3/FACT0001.TXT", BillingFile(5, 2)}};
  for (const auto& [path, content] : files) {
    fs::create_directories((d / path).parent_path());
    WriteFile(d / path, content);
    Expect(Profiled(d, {"submit", (d / path).string()}, s.env), 0);
  }
  PgConnection(s.address).Execute(
      "UPDATE queue_chunks SET data = 'x' FROM queue_files WHERE id = owner AND name = $1",
      {"FACT0002.TXT"});
  // A run that cannot make its copies' folder gives its files and its line
  // back at once: the next run finds them free.
  const Outcome no_tmp =
      Profiled(d, {"exchange", "--now"},
               {{"XDG_STATE_HOME", (d / "state").string()}, {"TMPDIR", (d / "nowhere").string()}});
  Said(no_tmp.err, {"dossier privé sous"});
  Ends(s.Exchange(), 20, {{"sent", "1"}, {"held", "1"}});
  EXPECT_EQ(ReadFile(d / "store/FACT0001"), files[0].second);
  EXPECT_FALSE(fs::exists(d / "store/FACT0002"));
  Ends(s.Exchange(), 0, {{"sent", "1"}, {"held", "0"}});
  EXPECT_EQ(ReadFile(d / "store/FACT0001"), files[2].second);
}

// A return that a worker received is kept in the queue once, and delivered
// once per folder: again only when its delivery was never noted, and then
// found in place rather than written twice; a spool's inbox/ is a folder of
// its own.
TEST(Queue, AReturnIsDeliveredOncePerFolder) {
  XMQ_NEED_POSTGRESQL();
  const std::string arl = BillingFile(3, 7);
  const Station s("returns", "fetch = [\"ARL{user}\"]\n", {{"ARLPS01", arl}});
  const TempDir& d = s.d;
  Worker(d, "s.toml", {s.sim->Link()}, s.address, "fetch = [\"ARL{user}\"]\nspool = \"spool\"\n");
  Ends(s.Exchange(), 0, {{"received", "1"}});
  const auto fetch = [&](const std::string& folder) {
    fs::create_directories(d / folder);
    return One(Profiled(d, {"fetch-returns", (d / folder).string(), "--json"}, s.env));
  };
  EXPECT_EQ(fetch("a").at("delivered"), "1");
  EXPECT_EQ(fetch("a").at("delivered"), "0");
  EXPECT_EQ(fetch("b").at("delivered"), "1");
  EXPECT_EQ(ReadFile(d / "a/ARLPS01"), arl);
  EXPECT_EQ(ReadFile(d / "b/ARLPS01"), arl);
  // A delivery whose note was lost: found in place, nothing written again.
  PgConnection(s.address).Execute("DELETE FROM queue_deliveries");
  const JsonFields again = fetch("a");
  EXPECT_EQ(again.at("delivered"), "0");
  EXPECT_EQ(again.at("already_there"), "1");
  EXPECT_FALSE(fs::exists(d / "a/ARLPS01.1"));
  // Another file under that name in the folder stays; the return goes beside.
  fs::create_directories(d / "c");
  WriteFile(d / "c/ARLPS01", "mine");
  EXPECT_EQ(fetch("c").at("delivered"), "1");
  EXPECT_EQ(ReadFile(d / "c/ARLPS01"), "mine");
  EXPECT_EQ(ReadFile(d / "c/ARLPS01.1"), arl);
  // The exchange of a profile with a spool files it in inbox/, once.
  for (int run = 0; run < 2; ++run) s.Exchange("--now", "s.toml");
  EXPECT_EQ(ReadFile(d / "spool/inbox/ARLPS01"), arl);
  EXPECT_FALSE(fs::exists(d / "spool/inbox/ARLPS01.1"));
  Expect(Profiled(d, {"fetch-returns", (d / "nowhere").string()}, s.env), 2);
}

// A spool's outbox feeds the queue: each file goes into it once, then to
// queued/, a bad one is held with its reason. A run killed between the
// submission and the move (the file back in outbox/ as it stood) only moves
// it; a new drop of a content queued under that name is filed beside it.
TEST(Queue, AnOutboxFeedsTheQueueOnceEvenWhenARunDiesBeforeMovingItsFiles) {
  XMQ_NEED_POSTGRESQL();
  const Station s("outbox", "spool = \"spool\"\nsettle = \"0s\"\n");
  const TempDir& d = s.d;
  const auto run = [&](const char* what = "--now") { return s.Exchange(what); };
  Ends(run(), 10, {{"queued", "0"}});
  const fs::path out = d / "spool/outbox";
  const std::string a = BillingFile(3, 1), b = BillingFile(2, 2);
  WriteFile(out / "FACT0001.TXT", a);
  WriteFile(out / "FACT0002.TXT", b);
  WriteFile(out / "BAD.TXT", "court");
  EXPECT_EQ(One(run("--check")).at("would_send"), "2");
  Ends(run(), 20, {{"queued", "2"}, {"sent", "2"}, {"held", "1"}});
  EXPECT_TRUE(fs::is_empty(out));
  EXPECT_FALSE(ReadFile(d / "spool/held/BAD.TXT.raison").empty());
  const fs::path day = fs::directory_iterator(d / "spool/queued")->path();
  EXPECT_EQ(ReadFile(day / "FACT0002.TXT"), b);
  fs::rename(day / "FACT0001.TXT", out / "FACT0001.TXT");
  // Said as it happened, on standard error outside systemd (without --json).
  const Outcome moved = Profiled(d, {"exchange", "--now"}, s.env);
  Expect(moved, 10,
         {"FACT0001.TXT déposé dans la file d'attente (par une exécution interrompue "
          "avant de le ranger)"});
  EXPECT_EQ(ReadFile(day / "FACT0001.TXT"), a);
  WriteFile(out / "FACT0002.TXT", b);
  WriteFile(out / "FACT0003.TXT", b + a);
  Ends(run(), 0, {{"queued", "2"}, {"held", "0"}, {"sent", "1"}});
  EXPECT_EQ(ReadFile(day / "FACT0002.TXT.1"), b);
  const std::string log = s.sim->Log();
  EXPECT_EQ(Arrivals(log, "FACT0001") + Arrivals(log, "FACT0002"), 2u) << log;
  EXPECT_EQ(Arrivals(log, "FACT0003"), 1u) << log;
  EXPECT_EQ(ReadFile(d / "store/FACT0001"), a);
  EXPECT_EQ(One(run("status")).at("queued_today"), "4");
  fs::permissions(d / "spool", fs::perms(0777));
  Said(One(run("--check")).at("spool_error"), {"n'est pas sûr"});
}

}  // namespace
}  // namespace xmodemq::test
