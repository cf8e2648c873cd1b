#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <utility>

#include <gtest/gtest.h>

#include "CommandTable.h"
#include "files/PartialFile.h"
#include "files/Sha256.h"
#include "journal/Journal.h"
#include "journal/JournalListing.h"
#include "journal/JournalPlace.h"
#include "journal/ResumeCheck.h"
#include "journal/Sqlite.h"
#include "journal/postgresql/PgConnection.h"
#include "postgresql/PgServer.h"
#include "system/FileErrors.h"
#include "system/ProcessIdentity.h"
#include "terminal/Json.h"
#include "terminal/Timestamps.h"

namespace xmodemq::test {
namespace {

RecordDigests Digests(const std::string& bytes) {
  RecordDigests digests;
  // Pieces that straddle records, as a copy's reads do.
  for (std::size_t at = 0; at < bytes.size(); at += 100)
    digests.Update(bytes.data() + at, std::min<std::size_t>(100, bytes.size() - at));
  return digests;
}

JournalRow SendRow(const std::string& name, const std::string& sha) {
  JournalRow row;
  row.call_id = "c";
  row.started = UtcNow();
  row.direction = "send";
  row.file = "/data/" + name + ".TXT";
  row.server_name = row.server_key = name;
  row.server = "0199001234";
  row.user = "PS0001";
  row.line = "/dev/ttyS0";
  row.sha256 = sha;
  row.pid = ::getpid();
  row.process = ThisProcess();
  return row;
}

void Finish(JournalRow& row, const std::string& result, std::int64_t blocks, std::int64_t bytes) {
  row.ended = UtcNow();
  row.result = result;
  row.blocks = blocks;
  row.bytes = bytes;
  row.exit_status = result == "rvTrue" ? 0 : 1;
}

// `row` begun with `prefixes`, then ended as Finish() says.
void Record(Journal& journal, JournalRow& row, const std::string& prefixes,
            const std::string& result, std::int64_t blocks, std::int64_t bytes) {
  journal.Begin(row, prefixes);
  Finish(row, result, blocks, bytes);
  journal.End(row);
}

TEST(Journal, DigestsAreSha256OfTheFileAndOfEachPrefixOfWholeRecords) {
  // FIPS 180-2 examples.
  EXPECT_EQ(Sha256Of(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Of("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  const std::string file = BillingFile(5, 3) + "tail";
  const RecordDigests digests = Digests(file);
  EXPECT_EQ(digests.Sha256Hex(), Sha256Of(file));
  EXPECT_EQ(digests.Bytes(), static_cast<std::int64_t>(file.size()));
  ASSERT_EQ(digests.Records(), 5);
  for (int k = 1; k <= 5; ++k)
    EXPECT_EQ(Hex(digests.Prefixes().substr((k - 1) * 16, 16)),
              Sha256Of(file.substr(0, k * 128)).substr(0, 32))
        << k;
}

TEST(Journal, TextsAreWrittenAndReadAsScriptsAndUsersExpect) {
  const std::pair<std::string, std::string> json[] = {
      {"é€😀", "\"é€😀\""},
      {"\n\t\x01\x7f", "\"\\n\\t\\u0001\\u007f\""},
      {"\xff"
       "a\xc3(\xc3",
       "\"\\ufffda\\ufffd(\\ufffd\""},
      {"\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\""},
  };
  // Objects are read back whole by the command's table, through a strict parser.
  for (const auto& [text, literal] : json) EXPECT_EQ(JsonString(text), literal) << text;

  const Zone cet("CET-1CEST,M3.5.0,M10.5.0/3");
  const std::pair<std::string, std::optional<std::string>> since[] = {
      {"2024-05-02", "2024-05-01T22:00:00Z"},
      {"2024-01-15T09:30", "2024-01-15T08:30:00Z"},
      {"2024-05-02 09:30:15", "2024-05-02T07:30:15Z"},
      {"2024-05-02T09:30:00Z", "2024-05-02T09:30:00Z"},
      {"2024-05-02T09:30+05:30", "2024-05-02T04:00:00Z"},
      {"2024-05-02T09:30:00-0100", "2024-05-02T10:30:00Z"},
      {"2024-13-01", std::nullopt},
      {"2024-05-02T9:30", std::nullopt},
      {"2024-05-02T09:30Zx", std::nullopt},
      {"2024-05-02T24:00", std::nullopt},
  };
  for (const auto& [text, utc] : since) EXPECT_EQ(SinceToUtc(text), utc) << text;
  EXPECT_EQ(LocalTime("2024-07-01T10:00:00Z"), "2024-07-01 12:00:00");
  EXPECT_EQ(LocalTime("pas une date"), "pas une date");
  // Ages as a refusal gives them: the two largest units, from a whole minute on.
  EXPECT_EQ(DurationText(std::chrono::seconds(59)), "59 s");
  EXPECT_EQ(DurationText(std::chrono::seconds(60)), "1 min");
  EXPECT_EQ(LocalTime("2024-07-01T10:00:00+02"), "2024-07-01T10:00:00+02");
  EXPECT_EQ(LocalTime("2024-07-01T10:00:00Zx"), "2024-07-01T10:00:00Zx");
}

// What a server's resume of N blocks is, compared with the last version sent.
TEST(Journal, AResumeIsCheckedAgainstTheLastVersionSent) {
  const std::string a = BillingFile(30, 1), b = BillingFile(30, 2);
  const std::string grown = a + BillingFile(10, 5);
  const RecordDigests da = Digests(a), dg = Digests(grown), db = Digests(b);
  const SentVersion cut_a{"2024-05-02T07:00:00Z", "/data/A.TXT", 30 * 128, da.Sha256Hex(),
                          da.Prefixes()};
  const SentVersion whole_a{"2024-05-02T07:00:00Z", "/data/A.TXT", 30 * 128, da.Sha256Hex(), ""};
  const struct {
    const char* what;
    const RecordDigests& now;
    std::int64_t held;
    std::optional<SentVersion> last;
    bool kept;
    ResumeVerdict verdict;
    const char* says;
  } cases[] = {
      // clang-format off
      {"a grown file, cut", dg, 30, cut_a, true, ResumeVerdict::kSame, "les premiers de ce fichier"},
      {"the first block only differs", db, 1, cut_a, true, ResumeVerdict::kOther, "1 bloc d'une autre version"},
      {"more than the file has", da, 31, cut_a, true, ResumeVerdict::kOther, "31 blocs d'une autre version"},
      {"more than was sent", dg, 31, cut_a, true, ResumeVerdict::kOther, "31 blocs"},
      {"more than a whole send", dg, 31, whole_a, true, ResumeVerdict::kOther, "autre version"},
      {"fewer than a whole send", da, 12, whole_a, true, ResumeVerdict::kUnknown, "s'est terminé avec 30 blocs : le journal ne peut pas vérifier ces 12 blocs"},
      {"no journal", da, 12, std::nullopt, false, ResumeVerdict::kUnknown, "sans journal (--no-journal) : impossible de vérifier"},
      // clang-format on
  };
  for (const auto& c : cases) {
    const ResumeCheck check = CheckResume("A", "/d/A.TXT", c.now, c.held, c.last, c.kept);
    EXPECT_EQ(check.verdict, c.verdict) << c.what;
    EXPECT_NE(check.message.find(c.says), std::string::npos) << c.what << ": " << check.message;
  }
}

// The journal's cases that hold on both back ends: an SQLite file, and a
// PostgreSQL database of the test program's own server (PgServer.h), as the
// least-privilege role of doc/postgresql-role.sql, in a schema of its own.
class OnBoth : public ::testing::TestWithParam<bool> {
 protected:
  bool Sqlite() const { return GetParam(); }
  // A new journal's place: in `dir`, or a database (its kept outcomes under
  // `dir`, as under XDG_STATE_HOME).
  JournalPlace NewJournal(const TempDir& dir) const {
    const std::string base = dir.path().string();
    if (Sqlite()) return {base + "/journal.sqlite"};
    static int schemas = 0;
    return {base + "/xmodemq/journal.sqlite", true, base,
            TheServer()->JournalAddress("j" + std::to_string(++schemas))};
  }
};
#define NEED_BACK_END() \
  if (!Sqlite()) XMQ_NEED_POSTGRESQL()
INSTANTIATE_TEST_SUITE_P(Journal, OnBoth, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "SQLite" : "PostgreSQL"; });

// Writers in several processes at once, on a journal that none of them has
// made yet: each waits its turn, none is refused, no row is lost. Two of them
// turning the new journal to WAL at the same moment is rare: the race is run
// many times, one round with many rows.
TEST_P(OnBoth, ProcessesWriteAtOnceAndLoseNoRow) {
  NEED_BACK_END();
  constexpr int kChildren = 4;
  // A new database's schema steps race too, under their advisory lock.
  const int rounds = Sqlite() ? 60 : 8;
  for (int round = 0; round < rounds; ++round) {
    TempDir dir;
    const JournalPlace place = NewJournal(dir);
    const int rows = round == 0 ? 30 : 1;
    int gate[2];
    ASSERT_EQ(::pipe2(gate, O_CLOEXEC), 0);
    std::vector<pid_t> children;
    for (int child = 0; child < kChildren; ++child) {
      const pid_t pid = ::fork();
      ASSERT_GE(pid, 0);
      if (pid == 0) {
        // All start when the gate closes.
        ::close(gate[1]);
        char go;
        (void)!::read(gate[0], &go, 1);
        int status = 0;
        try {
          auto journal = Journal::Open(place, Journal::Access::kWrite);
          for (int i = 0; i < rows; ++i) {
            JournalRow row =
                SendRow("F" + std::to_string(child) + "_" + std::to_string(i), Sha256Of("x"));
            Record(*journal, row, std::string(16 * 4, 'p'), "rvTrue", 4, 512);
          }
        } catch (const std::exception& e) {
          std::fprintf(stderr, "%s\n", e.what());
          status = 1;
        }
        ::_exit(status);
      }
      children.push_back(pid);
    }
    ::close(gate[0]);
    ::close(gate[1]);
    for (const pid_t pid : children) {
      int status = 0;
      ASSERT_EQ(::waitpid(pid, &status, 0), pid);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round;
    }
    const auto listed = Journal::Open(place, Journal::Access::kRead)->List(std::nullopt);
    ASSERT_EQ(listed.size(), std::size_t{kChildren} * rows);
    // In the database itself, not in a file beside it.
    if (!Sqlite()) {
      EXPECT_EQ(PgConnection(place.address).Execute("SELECT count(*) FROM transfers").Int(0, 0),
                kChildren * rows);
    }
    std::set<std::string> names;
    for (const JournalRow& row : listed) {
      EXPECT_EQ(row.result, "rvTrue");
      names.insert(row.server_name);
    }
    EXPECT_EQ(names.size(), listed.size());
  }
  if (!Sqlite()) return;
  // A writer that another process keeps waiting gives up as soon as it is
  // asked to stop, not after the 15 s it would wait, and writes nothing.
  TempDir dir;
  const std::string path = (dir / "journal.sqlite").string();
  auto journal = Journal::Open({path}, Journal::Access::kWrite);
  Database holder(path, SQLITE_OPEN_READWRITE);
  holder.Execute("BEGIN IMMEDIATE");
  JournalRow row = SendRow("F", Sha256Of("x"));
  int asked = 0;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(journal->Begin(row, "", [&] { return ++asked > 3; }), JournalError);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_GE(asked, 4);
  holder.Execute("ROLLBACK");
  EXPECT_TRUE(journal->List(std::nullopt).empty());
}

// What the exchange and a server's resume ask of the journal, on both back
// ends: the schedule and alerts per profile, the spool's receives, and the
// prefix digests of a cut send (raw bytes, zeros included), dropped once a
// send of that name ends well.
TEST_P(OnBoth, TheExchangesStateTheSpoolsReceivesAndTheResumeDigests) {
  NEED_BACK_END();
  TempDir dir;
  const JournalPlace place = NewJournal(dir);
  const auto journal = Journal::Open(place, Journal::Access::kWrite);
  CallState state{"2026-12-07T08:00:00Z", "later",      2, "2026-12-07T07:00:00Z",
                  std::nullopt,           "2026-12-07", 3, "refus"};
  journal->SaveCallState("a", state);
  state.failures = 3;
  journal->SaveCallState("a", state);
  const CallState back = journal->LoadCallState("a");
  EXPECT_EQ(back.failures, 3);
  EXPECT_EQ(back.failing_since, state.failing_since);
  EXPECT_FALSE(back.next_call);
  EXPECT_EQ(back.calls_today, 3);
  EXPECT_EQ(back.stopped, "refus");
  EXPECT_EQ(journal->LoadCallState("b").failures, 0);
  const AlertRecord alert{0, "held", "2 fichiers", "2026-12-07T08:00:00Z", std::nullopt, ""};
  const std::int64_t id = journal->OpenAlert("a", alert);
  EXPECT_GT(id, 0);
  EXPECT_EQ(journal->OpenAlert("a", alert), 0);
  EXPECT_GT(journal->OpenAlert("b", alert), id);
  journal->NoteAlert(id, "2026-12-07T09:00:00Z", "0");
  EXPECT_TRUE(journal->Alerts("a", true).empty());
  ASSERT_EQ(journal->Alerts("a", false).size(), 1u);
  EXPECT_EQ(journal->Alerts("a", false)[0].command, "0");

  JournalRow got = SendRow("ARL1", Sha256Of("r"));
  got.direction = "receive";
  got.file = "/spool/incoming/ARL1";
  Record(*journal, got, "", "rvTrue", 1, 128);
  journal->RefileReceive("/spool/incoming/ARL1", "/spool/inbox/ARL1");
  EXPECT_FALSE(journal->ReceivedInto("/spool/incoming/ARL1", Sha256Of("r")));
  EXPECT_TRUE(journal->ReceivedInto("/spool/inbox/ARL1", Sha256Of("r")));
  EXPECT_TRUE(journal->ReceivedBefore(got));
  got.file = "/spool/inbox/ARL1";
  EXPECT_FALSE(journal->ReceivedBefore(got));
  EXPECT_EQ(journal->LastAsked(got, "2000-01-01")->id, got.id);
  EXPECT_FALSE(journal->LastAsked(got, "2999-01-01"));

  const std::string prefixes = std::string("\0\xff\x01", 3) + std::string(29, '\0');
  JournalRow cut = SendRow("F", Sha256Of("v1"));
  Record(*journal, cut, prefixes, "rvCTS", 1, 256);
  JournalRow next = SendRow("F", Sha256Of("v2"));
  auto last = journal->LastVersionSent(next);
  ASSERT_TRUE(last);
  EXPECT_EQ(last->prefixes, prefixes);
  EXPECT_EQ(last->sha256, Sha256Of("v1"));
  Record(*journal, next, prefixes, "rvTrue", 2, 256);
  last = journal->LastVersionSent(SendRow("F", Sha256Of("v3")));
  ASSERT_TRUE(last);
  EXPECT_EQ(last->sha256, Sha256Of("v2"));
  EXPECT_EQ(last->prefixes, "");
  EXPECT_EQ(journal->List(std::nullopt).size(), 3u);

  // The sends of one call are reserved all or none: a row that the journal
  // refuses (a rule of the test's own, on the second row) leaves none of them,
  // and the same connection writes again once the rule is gone.
  const auto refuse = [&](bool on) {
    if (Sqlite()) {
      Database(place.path, SQLITE_OPEN_READWRITE)
          .Execute(on ? "CREATE TRIGGER refuse BEFORE INSERT ON transfers WHEN "
                        "NEW.server_name = 'R2' BEGIN SELECT RAISE(ABORT, 'refusé'); END"
                      : "DROP TRIGGER refuse");
    } else {
      PgConnection(place.address)
          .Execute(on ? "ALTER TABLE transfers ADD CONSTRAINT refuse CHECK (server_name <> 'R2')"
                      : "ALTER TABLE transfers DROP CONSTRAINT refuse");
    }
  };
  std::vector<JournalRow> call = {SendRow("R1", Sha256Of("1")), SendRow("R2", Sha256Of("2"))};
  refuse(true);
  EXPECT_THROW(journal->ReserveSends(call, {"", ""}, Repeat::kNo), JournalError);
  refuse(false);
  call = {SendRow("R1", Sha256Of("1")), SendRow("R2", Sha256Of("2"))};
  const auto verdicts = journal->ReserveSends(call, {"", ""}, Repeat::kNo);
  ASSERT_EQ(verdicts.size(), 2u);
  for (const auto& verdict : verdicts) EXPECT_FALSE(verdict.Held());
}

// Two sends of one file to one account on two lines, started at once (a pool
// of lines, a timer that fires again): in each round one goes, the other is
// refused before it dials and names the process that holds the file.
TEST_P(OnBoth, OverlappingSendsOfOneFileNeverBothGo) {
  NEED_BACK_END();
  // 20 rounds, 5 at a time (each on two lines of its own), one journal.
  constexpr int kRounds = 20, kAtOnce = 5;
  TempDir dir;
  const JournalPlace place = NewJournal(dir);
  std::vector<std::unique_ptr<TempDir>> folders;
  std::vector<std::unique_ptr<Simulator>> lines;
  for (int i = 0; i < 2 * kAtOnce; ++i) {
    folders.push_back(std::make_unique<TempDir>());
    lines.push_back(std::make_unique<Simulator>(*folders.back(), std::vector<std::string>{}));
  }
  const Env env = {{"XMODEMQ_JOURNAL", Sqlite() ? place.path : place.address},
                   {"XDG_STATE_HOME", place.base},
                   {"XMODEMQ_PASSWORD", kSecret},
                   {"TMPDIR", dir.path().string()}};
  for (int first = 0; first < kRounds; first += kAtOnce) {
    std::vector<std::unique_ptr<Process>> sends;
    for (int i = 0; i < 2 * kAtOnce; ++i) {
      const std::string file = (dir / ("F" + std::to_string(first + i / 2) + ".TXT")).string();
      if (i % 2 == 0) WriteFile(file, kBill20);
      sends.push_back(std::make_unique<Process>(
          Expand({"send", file, "LINE"}, {}, {XMODEMQ_PATH}, lines[i].get()), env));
    }
    for (int round = 0; round < kAtOnce; ++round) {
      SCOPED_TRACE("round " + std::to_string(first + round));
      const Outcome ends[] = {sends[2 * round]->Wait(60s), sends[2 * round + 1]->Wait(60s)};
      const int winner = ends[0].status == 0 ? 0 : 1;
      Expect(ends[winner], 0, {"envoyé : 20 blocs"});
      Expect(ends[1 - winner], 2,
             {"est en cours d'envoi au même serveur pour le même utilisateur, par le processus " +
                  std::to_string(sends[2 * round + winner]->Pid()),
              "!Appel"});
    }
  }
  std::size_t dials = 0;
  for (const auto& line : lines) dials += Count(line->Log(), "simulateur : numérotation");
  EXPECT_EQ(dials, std::size_t{kRounds});
  if (!Sqlite()) {
    EXPECT_EQ(PgConnection(place.address)
                  .Execute("SELECT count(*) FROM transfers WHERE result = 'rvTrue'")
                  .Int(0, 0),
              kRounds);
  }
}

// The journal's rows of the command's table again, the journal in a
// database: each row that does not name a journal of its own (a file, its
// folder, a full disk are the SQLite file's cases). The role's password is
// in the address, and no row may show it.
TEST(JournalOnPostgresql, TheCommandsJournalRowsHoldOnADatabase) {
  XMQ_NEED_POSTGRESQL();
  std::vector<Row> rows;
  for (Row row : JournalRows()) {
    const auto& a = row.args;
    const auto names = [&a](const char* word) { return std::count(a.begin(), a.end(), word) > 0; };
    const bool shim = std::ranges::any_of(
        row.then, [](const Then& t) { return t.args.front() == "/usr/bin/env"; });
    // A journal in D/j to read it as an SQLite file afterwards (`check`):
    // the rest of the row holds on the database.
    if (row.env["XMODEMQ_JOURNAL"] == "D/j/journal.sqlite" && !row.setup) {
      row.env.erase("XMODEMQ_JOURNAL");
      row.check = {};
      row.files.erase("j/");
      row.left.erase("j/");
    }
    if (row.env["XMODEMQ_JOURNAL"] || row.env.contains("HOME") || row.env.contains("LD_PRELOAD") ||
        names("--journal") || names("--no-journal") || shim || row.second_user || row.two_users)
      continue;
    row.env["XMODEMQ_JOURNAL"] =
        TheServer()->JournalAddress("row" + std::to_string(rows.size() + 1));
    row.env["XDG_STATE_HOME"] = "D/tmp";
    row.check = [check = row.check](const Outcome& r, const fs::path& d) {
      EXPECT_EQ(r.All().find(kRolePassword), std::string::npos) << r.All();
      EXPECT_FALSE(fs::exists(d / "tmp/xmodemq/journal.sqlite"));
      if (check) check(r, d);
    };
    rows.push_back(std::move(row));
  }
  ASSERT_EQ(rows.size(), 7u);
  TableRun run(rows);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    run.Check(run.Find(row.what));
  }
}

// The database stops in the middle of a send: the command ends with 75 and
// says why, the outcome waits on this machine (0600) and `journal` says so;
// while it is down a send is refused before it dials (75). Once the server
// is back, the next run writes the kept outcome before anything else: the
// journal shows that transfer once, as it ended.
TEST(JournalOnPostgresql, ADatabaseThatStopsDuringASendLosesNoOutcome) {
  XMQ_NEED_POSTGRESQL();
  TempDir dir;
  const Env env = {{"XMODEMQ_JOURNAL", TheServer()->JournalAddress("gone")},
                   {"XDG_STATE_HOME", dir.path().string()},
                   {"XMODEMQ_PASSWORD", kSecret},
                   {"TMPDIR", dir.path().string()}};
  TempDir line_dir;
  Simulator line(line_dir, {"--baud", "9600"});
  const auto send = [&](const std::string& name) {
    WriteFile(dir / name, kBill);
    return std::make_unique<Process>(
        Expand({"send", "D/" + name, "LINE", "--progress"}, dir.path(), {XMODEMQ_PATH}, &line),
        env);
  };
  const auto first = send("FACT0001.TXT");
  const bool midway = first->Await("Envoi bloc ", 60s);
  TheServer()->Stop();
  const Outcome gone = first->Wait(120s);
  const Outcome refused = send("FACT0002.TXT")->Wait(60s);
  const Outcome waiting = Xmq({"journal"}, env);
  TheServer()->Restart();
  ASSERT_TRUE(midway) << first->ErrSoFar();
  Expect(gone, 75, {"L'issue du transfert est gardée dans "});
  Expect(refused, 75, {"ne peut pas être jointe", "réessayez quand la base sera joignable"});
  EXPECT_EQ(Count(line.Log(), "simulateur : numérotation"), 1u);
  Said(waiting.err, {"1 issue de transfert attend"});
  for (const Outcome* o : {&gone, &refused, &waiting})
    EXPECT_EQ(o->All().find(kRolePassword), std::string::npos) << o->All();
  EXPECT_EQ(fs::symlink_status(dir / "xmodemq/journal.sqlite.en-attente").permissions(),
            fs::perms(0600));

  Expect(send("FACT0001.TXT")->Wait(120s), 0);
  const Outcome listed = Xmq({"journal", "--json"}, env);
  const auto rows = ParseJsonLines(listed.out);
  ASSERT_TRUE(rows && rows->size() == 2) << listed.All();
  EXPECT_EQ(rows->front().at("result"), Q("rvFalse")) << listed.out;
  EXPECT_EQ(rows->front().at("exit_status"), "1") << listed.out;
  EXPECT_EQ(rows->back().at("result"), Q("rvTrue")) << listed.out;
  EXPECT_EQ(listed.err.find("attend"), std::string::npos) << listed.err;
}

// Two receives of one target: the second comes in between the first's open
// and its lock, receives and puts its file in place. The first must not hold
// the file that became the target: it starts over on a fresh partial file,
// and its commit leaves the second's file as it is.
TEST(PartialFileRace, AReceiveThatCameInBetweenIsNeverCommittedByTheOther) {
  TempDir dir;
  const std::string target = (dir / "F.TXT").string();
  const ResumePolicy policy{"PS0001"};
  PartialFile first(target, false);
  bool came = false;
  first.Open(policy, [&] {
    if (std::exchange(came, true)) return;
    PartialFile second(target, false);
    second.Open(policy);
    ASSERT_EQ(::write(second.Descriptor(), kBill20.data(), kBill20.size()),
              static_cast<ssize_t>(kBill20.size()));
    second.Commit();
  });
  ASSERT_TRUE(came);
  EXPECT_EQ(first.Blocks(), 0);
  ASSERT_EQ(::write(first.Descriptor(), "x", 1), 1);
  EXPECT_THROW(first.Commit(), FileFailure);
  EXPECT_EQ(ReadFile(target), kBill20);
}

// Another journal renamed onto the journal's name between its checks and
// SQLite's opening by name: refused, to read or to write, and left as it is.
TEST(Journal, AFileThatTakesTheJournalsNameAsItOpensIsRefused) {
  TempDir dir;
  const std::string path = (dir / "journal.sqlite").string();
  Journal::Open({path}, Journal::Access::kWrite).reset();
  for (const auto access : {Journal::Access::kRead, Journal::Access::kWrite}) {
    const std::string other = (dir / "other.sqlite").string();
    Journal::Open({other}, Journal::Access::kWrite).reset();
    const std::string bytes = ReadFile(other);
    try {
      Journal::Open({path}, access, [&] { fs::rename(other, path); });
      ADD_FAILURE() << "the other journal was opened";
    } catch (const JournalError& e) {
      Said(e.what(), {" a été remplacé pendant son ouverture"});
    }
    EXPECT_EQ(ReadFile(path), bytes);
  }
}

TEST(Journal, TheListingFitsTheTerminal) {
  std::vector<JournalRow> rows(2, SendRow("FACTURE_JANVIER_2", Sha256Of("x")));
  rows[0].file = "/home/utilisateur/facturation/2024/janvier/FACTURE_JANVIER_2024.TXT";
  Finish(rows[0], "rvTrue", 400, 51200);
  rows[1].file = "/data/FACTURE_JANVIER_2.TXT";
  Finish(rows[1], "rvCTS", 20, 2560);
  rows[1].resumed_from = 12;
  rows[1].description = "La ligne est coupée";
  // A journal's texts are shown, never obeyed: one line a row, in display columns.
  rows.push_back(rows[1]);
  rows[2].file = "/data/請求書_一月_二〇二四年度_最終版_第二回.TXT";
  rows[2].description = "a\n2024-01-01 00:00  envoi  60  réussi\x1b[2J";
  const auto forged = ListingLines(rows, std::nullopt, "/data");
  ASSERT_EQ(forged.size(), 4u);
  Said(forged[3], {"; a\\n2024-01-01 00:00  envoi  60  réussi\\e[2J"});
  for (const std::string& line : forged) EXPECT_EQ(line.find_first_of("\n\x1b"), std::string::npos);
  for (const std::size_t columns : {80u, 66u}) {
    const std::string cjk = ListingLines(rows, columns, "/data")[3];
    Said(cjk, {"第二回.TXT"});
    EXPECT_LT(Width(cjk), columns) << cjk;
  }
  rows.pop_back();
  const auto wide = ListingLines(rows, std::nullopt, "/data");
  ASSERT_EQ(wide.size(), 3u);
  Said(wide[1], {"  400  réussi  ", "FACTURE_JANVIER_2024.TXT  (serveur : FACTURE_JANVIER_2)"});
  Said(wide[2], {"12+20  ligne coupée", "  FACTURE_JANVIER_2.TXT  (La ligne est coupée)"});
  for (const std::size_t columns : {100u, 72u, 50u, 30u}) {
    for (const std::string& line : ListingLines(rows, columns, "/data")) {
      EXPECT_LT(Width(line), columns) << line;
      // The end of a file name stays.
      if (line.find("JANVIER_2024") != std::string::npos || line.find("…") != std::string::npos) {
        EXPECT_TRUE(line.find(".TXT") != std::string::npos || columns < 50) << line;
      }
    }
  }
}

}  // namespace
}  // namespace xmodemq::test
