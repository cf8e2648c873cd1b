// The PostgreSQL journal against the test program's own server: the
// connection and its failures, the schema steps, the never-twice
// reservation, the least-privilege role.
#include <gmock/gmock.h>

#include <barrier>
#include <thread>

#include "journal/postgresql/PgConnection.h"
#include "journal/postgresql/PgNeverTwice.h"
#include "journal/postgresql/PgSchema.h"
#include "postgresql/PgServer.h"

namespace xmodemq {
namespace {

using test::TheServer;
using test::Thrown;
using Kind = SendVerdict::Kind;
using ::testing::HasSubstr;

// A journal in a database of its own, as the superuser.
std::unique_ptr<PgConnection> NewJournal(const std::string& database) {
  TheServer()->CreateDatabase(database);
  auto connection = std::make_unique<PgConnection>(TheServer()->Address(database));
  PgMigrateSchema(*connection, PgSchemaVersion());
  return connection;
}

JournalRow Send(const std::string& server_name, const std::string& sha256, std::int64_t pid) {
  JournalRow row;
  row.call_id = "call-" + std::to_string(pid);
  row.started = "2026-12-07T08:00:00Z";
  row.direction = "send";
  row.file = "/home/cabinet/" + server_name;
  row.server_name = server_name;
  row.server_key = server_name;
  row.server = "0199001234";
  row.user = "Dr Martin  ";
  row.bytes = 266;
  row.blocks = -1;
  row.sha256 = sha256;
  row.pid = pid;
  row.process = "xmodemq";
  return row;
}

std::vector<SendVerdict> Reserve(PgConnection& connection, JournalRow& row,
                                 Repeat repeat = Repeat::kNo) {
  std::vector<JournalRow> rows{row};
  auto verdicts = PgReserveSends(connection, rows, {std::string("\x01\x02\xff", 3)}, repeat);
  row = rows.front();
  return verdicts;
}

// A running send of FACT0001 by process `pid`, written as another machine
// would, within the caller's transaction.
void InsertRunning(PgConnection& connection, std::int64_t pid) {
  connection.Execute(
      "INSERT INTO transfers(call_id, started, direction, file, server_name, server_key, server, "
      "\"user\", user_key, line, pid, process) VALUES ('c', 't', 'send', '/f', 'FACT0001', "
      "'FACT0001', '0199001234', 'Dr Martin', 'Dr Martin', '', $1, 'xmodemq')",
      {PgInt(pid)});
}

std::int64_t Count(PgConnection& connection, const std::string& sql) {
  return connection.Execute(sql).Int(0, 0);
}

TEST(PgServer, SchemaStepsOnceWhenMachinesStartAtOnce) {
  XMQ_NEED_POSTGRESQL();
  TheServer()->CreateDatabase("schema_at_once");
  const std::string address = TheServer()->Address("schema_at_once");
  constexpr int kMachines = 8;
  std::vector<std::unique_ptr<PgConnection>> connections;
  for (int i = 0; i < kMachines; ++i)
    connections.push_back(std::make_unique<PgConnection>(address));
  std::barrier start(kMachines);
  std::vector<std::string> failures(kMachines);
  std::vector<std::thread> machines;
  for (int i = 0; i < kMachines; ++i)
    machines.emplace_back([&, i] {
      start.arrive_and_wait();
      try {
        PgMigrateSchema(*connections[i], PgSchemaVersion());
      } catch (const PgError& e) {
        failures[i] = e.what();
      }
    });
  for (std::thread& t : machines) t.join();
  for (const std::string& failure : failures) EXPECT_EQ(failure, "");
  PgConnection check(address);
  EXPECT_EQ(PgReadSchemaVersion(check), PgSchemaVersion());
  EXPECT_EQ(Count(check, "SELECT count(*) FROM journal_schema"), 1);
  EXPECT_EQ(Count(check,
                  "SELECT count(*) FROM pg_tables WHERE schemaname = 'public' AND "
                  "tablename IN ('transfers', 'send_prefixes', 'journal_schema', "
                  "'exchange_state', 'exchange_alerts')"),
            5);
  EXPECT_EQ(Count(check,
                  "SELECT count(*) FROM pg_indexes WHERE indexdef LIKE "
                  "'CREATE UNIQUE INDEX sends_running%WHERE%result IS NULL%' OR "
                  "indexdef LIKE 'CREATE UNIQUE INDEX alerts_open%WHERE%closed IS NULL%'"),
            2);
  // Once there, a start changes nothing; a newer journal is refused.
  PgMigrateSchema(check, PgSchemaVersion());
  EXPECT_EQ(Count(check, "SELECT count(*) FROM journal_schema"), 1);
  check.Execute("UPDATE journal_schema SET version = $1", {PgInt(PgSchemaVersion() + 1)});
  const PgError newer = Thrown([&] { PgMigrateSchema(check, PgSchemaVersion()); });
  EXPECT_EQ(newer.GetKind(), PgError::Kind::kOther);
  EXPECT_THAT(newer.what(), HasSubstr("plus récent"));
  PgConnection empty(TheServer()->Address("postgres"));
  EXPECT_EQ(PgReadSchemaVersion(empty), 0);
}

TEST(PgServer, NeverTwiceAcrossConnections) {
  XMQ_NEED_POSTGRESQL();
  auto a = NewJournal("never_twice");
  PgConnection b(TheServer()->Address("never_twice"));
  JournalRow first = Send("FACT0001", "aa11", 100);
  ASSERT_EQ(Reserve(*a, first).front().kind, Kind::kGoes);
  ASSERT_TRUE(first.id.has_value());
  EXPECT_EQ(first.user_key, "Dr Martin");
  EXPECT_EQ(Count(*a, "SELECT count(*) FROM send_prefixes WHERE digests = '\\x0102ff'"), 1);

  // Running on one machine: the other's is held, naming the process.
  JournalRow second = Send("FACT0001", "aa11", 200);
  second.user = "Dr Martin";
  auto verdict = Reserve(b, second).front();
  EXPECT_EQ(verdict.kind, Kind::kRunning);
  ASSERT_TRUE(verdict.earlier.has_value());
  EXPECT_EQ(verdict.earlier->pid, 100);
  EXPECT_FALSE(second.id.has_value());

  // Sent: held, unless --again; unknown: held, unless --ask-server.
  a->Execute("UPDATE transfers SET result = 'rvTrue' WHERE id = $1", {PgInt(*first.id)});
  EXPECT_EQ(Reserve(b, second).front().kind, Kind::kSent);
  EXPECT_EQ(Reserve(b, second, Repeat::kAgain).front().kind, Kind::kGoes);
  EXPECT_TRUE(second.again);
  a->Execute("UPDATE transfers SET result = 'unknown' WHERE id = $1", {PgInt(*second.id)});
  a->Execute("DELETE FROM transfers WHERE id = $1", {PgInt(*first.id)});
  JournalRow third = Send("FACT0001", "aa11", 300);
  EXPECT_EQ(Reserve(b, third).front().kind, Kind::kUnknown);
  EXPECT_EQ(Reserve(b, third, Repeat::kAskServer).front().kind, Kind::kAskServer);
  // Other content under the name, or another account: it goes.
  a->Execute("UPDATE transfers SET result = 'rvTrue' WHERE id = $1", {PgInt(*third.id)});
  JournalRow other = Send("FACT0001", "bb22", 400);
  EXPECT_EQ(Reserve(b, other).front().kind, Kind::kGoes);
  JournalRow account = Send("FACT0002", "aa11", 500);
  EXPECT_EQ(Reserve(b, account).front().kind, Kind::kGoes);

  // A call whose one send is held reserves none of its sends.
  std::vector<JournalRow> call{Send("FACT0003", "cc33", 600), Send("FACT0002", "dd44", 600)};
  const auto verdicts = PgReserveSends(b, call, {"", ""}, Repeat::kNo);
  EXPECT_EQ(verdicts[0].kind, Kind::kGoes);
  EXPECT_EQ(verdicts[1].kind, Kind::kRunning);
  EXPECT_EQ(Count(b, "SELECT count(*) FROM transfers WHERE server_key = 'FACT0003'"), 0);
}

// Another machine's reservation is not committed yet when this one checks:
// the unique index makes this one wait, then find it running.
TEST(PgServer, ReservationRacingAnUncommittedOneFindsItRunning) {
  XMQ_NEED_POSTGRESQL();
  auto a = NewJournal("race");
  PgConnection b(TheServer()->Address("race"));
  PgTransaction other(*a);
  InsertRunning(*a, 77);
  JournalRow mine = Send("FACT0001", "aa11", 88);
  std::vector<SendVerdict> verdicts;
  std::thread reserving([&] { verdicts = Reserve(b, mine); });
  // Until this connection waits on the index.
  PgConnection watch(TheServer()->Address("race"));
  for (int i = 0; i < 500 && Count(watch, "SELECT count(*) FROM pg_locks WHERE NOT granted") == 0;
       ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(Count(watch, "SELECT count(*) FROM pg_locks WHERE NOT granted"), 1);
  other.Commit();
  reserving.join();
  ASSERT_EQ(verdicts.size(), 1u);
  EXPECT_EQ(verdicts[0].kind, Kind::kRunning);
  ASSERT_TRUE(verdicts[0].earlier.has_value());
  EXPECT_EQ(verdicts[0].earlier->pid, 77);
  EXPECT_FALSE(mine.id.has_value());
  EXPECT_EQ(Count(watch, "SELECT count(*) FROM transfers"), 1);
  EXPECT_EQ(Count(watch, "SELECT count(*) FROM send_prefixes"), 0);
}

TEST(PgServer, StatementOverItsTimeOutIsBusy) {
  XMQ_NEED_POSTGRESQL();
  PgConnection connection(TheServer()->Address("postgres"),
                          PgLimits{std::chrono::seconds(10), std::chrono::milliseconds(200)});
  const auto start = std::chrono::steady_clock::now();
  const PgError busy = Thrown([&] { connection.Execute("SELECT pg_sleep(30)"); });
  EXPECT_EQ(busy.GetKind(), PgError::Kind::kBusy) << busy.what();
  EXPECT_EQ(busy.SqlState(), "57014");
  EXPECT_TRUE(busy.TryLater());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  // The session goes on.
  EXPECT_EQ(connection.Execute("SELECT 1 + $1::int", {PgInt(41)}).Int(0, 0), 42);
}

// The role of doc/postgresql-role.sql in its database "xmodemq", with a
// password (once per program: roles belong to the whole server).
void CreateRole() {
  static const std::string made = TheServer()->JournalAddress("created");
}

TEST(PgServer, WrongPasswordIsRefusedWithoutShowingIt) {
  XMQ_NEED_POSTGRESQL();
  CreateRole();
  // Each password as it is, and as it stands in the address.
  for (const auto& [password, uri_password] :
       {std::pair<std::string, std::string>{"Wr0ng-S3cret", "Wr0ng-S3cret"},
        {"p@ss:w0rd/x", "p%40ss%3Aw0rd%2Fx"}}) {
    const std::string address = TheServer()->Address("xmodemq", "xmodemq", uri_password);
    const PgError refused = Thrown([&] { PgConnection c(address); });
    const std::string what = refused.what();
    EXPECT_EQ(refused.GetKind(), PgError::Kind::kRefused) << what;
    EXPECT_NE(what.find("password authentication failed"), std::string::npos) << what;
    EXPECT_EQ(what.find(password), std::string::npos) << what;
    EXPECT_EQ(what.find(uri_password), std::string::npos) << what;
  }
  // No password at all: refused too, not "try later".
  EXPECT_EQ(Thrown([] { PgConnection c(TheServer()->Address("xmodemq", "xmodemq")); }).GetKind(),
            PgError::Kind::kRefused);
}

TEST(PgServer, LeastPrivilegeRoleRunsTheJournal) {
  XMQ_NEED_POSTGRESQL();
  CreateRole();
  PgConnection role(TheServer()->Address("xmodemq", "xmodemq", test::kRolePassword));
  PgMigrateSchema(role, PgSchemaVersion());
  EXPECT_EQ(PgReadSchemaVersion(role), PgSchemaVersion());
  // The journal's five tables and the queue's seven.
  EXPECT_EQ(Count(role, "SELECT count(*) FROM pg_tables WHERE schemaname = 'xmodemq'"), 12);
  JournalRow row = Send("FACT0001", "aa11", 1);
  EXPECT_EQ(Reserve(role, row).front().kind, Kind::kGoes);
  JournalRow again = Send("FACT0001", "aa11", 2);
  EXPECT_EQ(Reserve(role, again).front().kind, Kind::kRunning);
  // And nothing more.
  for (const char* sql :
       {"CREATE TABLE public.elsewhere(x int)", "CREATE DATABASE other", "CREATE ROLE other",
        "CREATE TEMPORARY TABLE scratch(x int)", "SELECT pg_read_file('pg_hba.conf')"}) {
    SCOPED_TRACE(sql);
    EXPECT_EQ(Thrown([&] { role.RunScript(sql); }).GetKind(), PgError::Kind::kRefused);
  }
}

}  // namespace
}  // namespace xmodemq
