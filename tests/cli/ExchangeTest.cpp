#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CommandTable.h"
#include "files/Sha256.h"
#include "journal/Sqlite.h"
#include "modem/ServerNumber.h"

namespace xmodemq::test {
namespace {

namespace fs = std::filesystem;

// A spool, its profile and a simulator whose store holds the server's files.
struct Office {
  TempDir d;
  std::unique_ptr<Simulator> sim;

  explicit Office(std::vector<std::string> extra = {}, const std::string& more = "") {
    fs::create_directories(d / "store");
    fs::permissions(d / "store", fs::perms(0700));
    fs::create_directories(d / "spool/outbox");
    fs::permissions(d / "spool", fs::perms(0700));
    fs::permissions(d / "spool/outbox", fs::perms(0700));
    WriteFile(d / "pw", std::string(kSecret) + "\n");
    fs::permissions(d / "pw", fs::perms(0600));
    extra.insert(extra.end(), {"--store", (d / "store").string(), "--resume-sends"});
    sim = std::make_unique<Simulator>(d, extra);
    Profile("user = \"PS01\"\npassword_file = \"pw\"\nlines = [\"" + sim->Link() +
            "\"]\nspool = \"spool\"\nfetch = [\"ARL{user}\", \"REJ{date:%y%m%d}\"]\n"
            "settle = \"0s\"\njournal = \"journal.sqlite\"\n" +
            more);
  }
  void Profile(const std::string& text) const {
    WriteFile(d / "profile.toml", text);
    fs::permissions(d / "profile.toml", fs::perms(0600));
  }
  void Drop(const std::string& name, const std::string& content) const {
    WriteFile(d / "spool/outbox" / name, content);
  }
  std::vector<std::string> Args(std::vector<std::string> more = {}) const {
    std::vector<std::string> args = {XMODEMQ_PATH, "exchange", "--profile",
                                     (d / "profile.toml").string()};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }
  Outcome Run(std::vector<std::string> more = {"--json"}) const {
    return Process(Args(std::move(more)), {{"XMODEMQ_PASSWORD", std::nullopt}}).Wait(120s);
  }
};

JsonFields One(const Outcome& r) {
  const auto objects = ParseJsonLines(r.out);
  EXPECT_TRUE(objects && objects->size() == 1) << r.All();
  return objects && objects->size() == 1 ? objects->front() : JsonFields{};
}

std::vector<std::string> SentFiles(const fs::path& spool) {
  std::vector<std::string> names;
  if (!fs::exists(spool / "sent")) return names;
  for (const auto& day : fs::directory_iterator(spool / "sent"))
    for (const auto& f : fs::directory_iterator(day.path())) names.push_back(f.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(Exchange, ADayOfTheOfficeSendsEachFileOnceAndFilesTheReturnOnce) {
  Office o({"--baud", "38400"});
  WriteFile(o.d / "store/ARLPS01", BillingFile(3, 9));
  std::vector<std::string> bills;
  for (int i = 1; i <= 6; ++i) {
    const std::string name = "FACT000" + std::to_string(i) + ".TXT";
    o.Drop(name, BillingFile(8 + i, static_cast<unsigned>(i)));
    bills.push_back(name);
  }
  o.Drop("FACT0007.TXT.tmp", BillingFile(5, 7));
  o.Drop(".FACT0009.TXT", BillingFile(5, 9));
  o.Drop("BAD.TXT", std::string(130, 'x'));
  o.Drop("VIDE.TXT", "");
  fs::create_symlink(o.d / "pw", o.d / "spool/outbox/LIEN.TXT");
  Process first(o.Args({"--json"}), {{"XMODEMQ_PASSWORD", std::nullopt}});
  // The billing software drops one while the call runs.
  ASSERT_TRUE(o.sim->Await("envoi de « FACT0001 »", 60s)) << o.sim->Log();
  o.Drop("FACT0008.TXT", BillingFile(4, 8));
  bills.push_back("FACT0008.TXT");
  const Outcome r1 = first.Wait(120s);
  EXPECT_EQ(r1.status, 20) << r1.All();
  JsonFields j1 = One(r1);
  EXPECT_EQ(j1["sent"], "6");
  EXPECT_EQ(j1["held"], "3");
  EXPECT_EQ(j1["received"], "1");
  EXPECT_EQ(j1["not_waiting"], "1");
  EXPECT_EQ(j1["outcome"], Q("person"));
  EXPECT_EQ(j1["line"], Q(o.sim->Link()));
  EXPECT_NE(ReadFile(o.d / "spool/held/BAD.TXT.raison").find("130"), std::string::npos);
  EXPECT_NE(ReadFile(o.d / "spool/held/VIDE.TXT.raison").find("vide"), std::string::npos);
  EXPECT_TRUE(fs::is_symlink(o.d / "spool/held/LIEN.TXT"));
  EXPECT_NE(ReadFile(o.d / "spool/held/LIEN.TXT.raison").find("lien symbolique"),
            std::string::npos);
  // The temporary name becomes the file's own; the second run takes it and
  // the one dropped during the first, and asks for no return again.
  fs::rename(o.d / "spool/outbox/FACT0007.TXT.tmp", o.d / "spool/outbox/FACT0007.TXT");
  bills.push_back("FACT0007.TXT");
  const Outcome r2 = o.Run();
  EXPECT_EQ(r2.status, 0) << r2.All();
  JsonFields j2 = One(r2);
  EXPECT_EQ(j2["sent"], "2");
  EXPECT_EQ(j2["received"], "0");
  // Nothing more to do.
  const Outcome r3 = o.Run();
  EXPECT_EQ(r3.status, 10) << r3.All();
  EXPECT_EQ(One(r3)["sent"], "0");
  const std::string log = o.sim->Log();
  std::sort(bills.begin(), bills.end());
  EXPECT_EQ(SentFiles(o.d / "spool"), bills);
  for (const std::string& bill : bills) {
    const std::string stem = bill.substr(0, bill.find('.'));
    EXPECT_EQ(CompletedSends(log, stem), 1u) << bill << "\n" << log;
    EXPECT_EQ(ReadFile(o.d / "store" / stem),
              BillingFile(bill == "FACT0008.TXT"   ? 4
                          : bill == "FACT0007.TXT" ? 5
                                                   : 8 + (bill[7] - '0'),
                          static_cast<unsigned>(bill[7] - '0')))
        << bill;
  }
  EXPECT_EQ(Count(log, "réception de « ARLPS01 »"), 1u) << log;
  EXPECT_EQ(ReadFile(o.d / "spool/inbox/ARLPS01"), BillingFile(3, 9));
  EXPECT_FALSE(fs::exists(o.d / "spool/inbox/ARLPS01.1"));
  EXPECT_TRUE(fs::exists(o.d / "spool/outbox/.FACT0009.TXT"));
  // The journal follows each file to sent/.
  const Outcome journal =
      Process({XMODEMQ_PATH, "journal", "--json", "--journal", (o.d / "journal.sqlite").string()})
          .Wait(30s);
  const auto rows = ParseJsonLines(journal.out);
  ASSERT_TRUE(rows) << journal.All();
  std::size_t sends = 0;
  for (auto row : *rows)
    if (row["direction"] == Q("send")) {
      ++sends;
      EXPECT_NE(row["file"].find("/spool/sent/"), std::string::npos) << row["file"];
    }
  EXPECT_EQ(sends, bills.size());
  // The status reads it all back.
  const Outcome status = o.Run({"status", "--json"});
  EXPECT_EQ(status.status, 0) << status.All();
  JsonFields s = One(status);
  EXPECT_EQ(s["running"], "false");
  EXPECT_EQ(s["held_files"], "3");
  EXPECT_EQ(s["outbox_files"], "0");
  EXPECT_EQ(s["last_exit_status"], "10");
  EXPECT_EQ(s["last_return"], Q((o.d / "spool/inbox/ARLPS01").string()));
  // A return fetched again with the same content is not filed twice.
  fs::remove(o.d / "spool/inbox/ARLPS01");
}

TEST(Exchange, ASecondRunAtOnceTriesLaterAndNamesTheHolder) {
  Office o({"--baud", "9600"});
  o.Drop("FACT0001.TXT", BillingFile(24, 1));
  Process first(o.Args({"--json"}), {{"XMODEMQ_PASSWORD", std::nullopt}});
  ASSERT_TRUE(o.sim->Await("envoi de « FACT0001 »", 60s)) << o.sim->Log();
  const Outcome status = o.Run({"status"});
  EXPECT_NE(
      status.out.find("Un échange est en cours : le processus " + std::to_string(first.Pid())),
      std::string::npos)
      << status.All();
  const Outcome second = o.Run();
  EXPECT_EQ(second.status, 75) << second.All();
  EXPECT_NE(One(second)["message"].find("le processus " + std::to_string(first.Pid())),
            std::string::npos);
  EXPECT_EQ(first.Wait(120s).status, 0);
}

// Killed at any moment, the exchange is rerun until it is done: every file
// reaches the server once and whole.
TEST(Exchange, KilledAtRandomMomentsEachFileStillGoesOnce) {
  Office o({"--baud", "19200"});
  const int files = 6;
  for (int i = 1; i <= files; ++i)
    o.Drop("FACT000" + std::to_string(i) + ".TXT", BillingFile(6 + i, static_cast<unsigned>(i)));
  WriteFile(o.d / "store/ARLPS01", BillingFile(12, 3));
  // XMQ_KILL_SEED tries other moments.
  const char* seed = std::getenv("XMQ_KILL_SEED");
  std::mt19937 random(seed ? static_cast<unsigned>(std::atoi(seed)) : 35u);
#if defined(__SANITIZE_ADDRESS__)
  const int kills = 8;
#elif defined(__has_feature)
  const int kills = __has_feature(address_sanitizer) ? 8 : 30;
#else
  const int kills = 30;
#endif
  int killed = 0;
  for (int round = 0; round < 200; ++round) {
    Process run(o.Args({"--json"}), {{"XMODEMQ_PASSWORD", std::nullopt}});
    if (killed < kills) {
      run.Pump(std::chrono::milliseconds(std::uniform_int_distribution<int>(20, 900)(random)));
      run.Signal(SIGKILL);
      const Outcome r = run.Wait(30s);
      if (r.status == 128 + SIGKILL) {
        ++killed;
        continue;
      }
    }
    const Outcome r = run.Wait(120s);
    if (r.status == 10) break;
    ASSERT_TRUE(r.status == 0 || r.status == 75) << r.All();
  }
  EXPECT_EQ(killed, kills);
  const std::string log = o.sim->Log();
  for (int i = 1; i <= files; ++i) {
    const std::string stem = "FACT000" + std::to_string(i);
    EXPECT_EQ(ReadFile(o.d / "store" / stem), BillingFile(6 + i, static_cast<unsigned>(i))) << stem;
    EXPECT_EQ(CompletedSends(log, stem), 1u) << stem << "\n" << log;
  }
  EXPECT_EQ(SentFiles(o.d / "spool").size(), static_cast<std::size_t>(files));
  EXPECT_EQ(ReadFile(o.d / "spool/inbox/ARLPS01"), BillingFile(12, 3));
  EXPECT_FALSE(fs::exists(o.d / "spool/inbox/ARLPS01.1"));
}

// Killed once its row is on its line and before any block reached the
// server (a slow line: the server's answer to the opening takes half a
// second), the send cannot be whole on the server: the next run sends it,
// once, instead of holding it for a person.
TEST(Exchange, KilledBeforeAnyBlockReachedTheServerTheNextRunSendsIt) {
  Office o({"--baud", "2400"});
  o.Drop("FACT0001.TXT", BillingFile(3, 1));
  Process first(o.Args({"--json"}), {{"XMODEMQ_PASSWORD", std::nullopt}});
  ASSERT_TRUE(o.sim->Await("envoi de « FACT0001 »", 60s)) << o.sim->Log();
  first.Signal(SIGKILL);
  EXPECT_EQ(first.Wait(30s).status, 128 + SIGKILL);
  const Outcome second = o.Run();
  EXPECT_EQ(second.status, 0) << second.All();
  EXPECT_EQ(One(second)["sent"], "1");
  EXPECT_FALSE(fs::exists(o.d / "spool/held/FACT0001.TXT"));
  EXPECT_EQ(SentFiles(o.d / "spool"), std::vector<std::string>{"FACT0001.TXT"});
  EXPECT_EQ(ReadFile(o.d / "store/FACT0001"), BillingFile(3, 1));
  EXPECT_EQ(CompletedSends(o.sim->Log(), "FACT0001"), 1u) << o.sim->Log();
  EXPECT_EQ(o.Run().status, 10);
}

// "Already transmitted" (status 7): a send whose row says that the server
// acknowledged every block of it went, and is filed in sent/; a file the
// journal knows no such send of is held for a person.
TEST(Exchange, AlreadyTransmittedCountsAsSentOnlyAfterEveryBlockWasAcknowledged) {
  Office o({"--status", "7"});
  o.Profile("user = \"PS01\"\npassword_file = \"pw\"\nlines = [\"" + o.sim->Link() +
            "\"]\nspool = \"spool\"\nsettle = \"0s\"\njournal = \"journal.sqlite\"\n");
  EXPECT_EQ(o.Run().status, 10);
  const std::string bill = BillingFile(3, 1);
  {
    // A send of FACT0001 killed after its last block was acknowledged.
    Database db((o.d / "journal.sqlite").string(), SQLITE_OPEN_READWRITE);
    db.Execute(("INSERT INTO transfers(call_id, started, direction, file, server_name, "
                "server_key, server, user, user_key, line, bytes, blocks, sha256, pid, process) "
                "VALUES('c', '2024-05-02T07:00:00Z', 'send', '/x/FACT0001.TXT', 'FACT0001', "
                "'FACT0001', '" +
                std::string(xmodemquarvel::kServerNumber) +
                "', 'PS01', 'PS01', '/dev/ttyS0', 384, 3, '" + Sha256Of(bill) + "', 1, 'x')")
                   .c_str());
  }
  o.Drop("FACT0001.TXT", bill);
  o.Drop("FACT0002.TXT", BillingFile(3, 2));
  fs::last_write_time(o.d / "spool/outbox/FACT0001.TXT",
                      fs::last_write_time(o.d / "spool/outbox/FACT0002.TXT") - 1min);
  const Outcome r = o.Run();
  EXPECT_EQ(r.status, 20) << r.All();
  JsonFields j = One(r);
  EXPECT_EQ(j["sent"], "1");
  EXPECT_EQ(j["held"], "1");
  EXPECT_EQ(SentFiles(o.d / "spool"), std::vector<std::string>{"FACT0001.TXT"});
  EXPECT_NE(ReadFile(o.d / "spool/held/FACT0002.TXT.raison").find("(status 7)"), std::string::npos);
  EXPECT_EQ(Count(o.sim->Log(), "envoi de « FACT0001 »"), 1u) << o.sim->Log();
}

// A journal that another process holds past the wait: try later (75), and
// the next run, the journal free, does the work.
TEST(Exchange, AJournalHeldByAnotherProcessIsTryLater) {
  Office o;
  EXPECT_EQ(o.Run().status, 10);
  o.Drop("FACT0001.TXT", BillingFile(3, 1));
  {
    Database holder((o.d / "journal.sqlite").string(), SQLITE_OPEN_READWRITE);
    holder.Execute("BEGIN EXCLUSIVE");
    const Outcome busy = o.Run();
    EXPECT_EQ(busy.status, 75) << busy.All();
    JsonFields j = One(busy);
    EXPECT_EQ(j["outcome"], Q("later"));
    EXPECT_NE(j["message"].find("un autre programme le tient"), std::string::npos) << busy.All();
    holder.Execute("ROLLBACK");
  }
  EXPECT_TRUE(fs::exists(o.d / "spool/outbox/FACT0001.TXT"));
  const Outcome r = o.Run();
  EXPECT_EQ(r.status, 0) << r.All();
  EXPECT_EQ(CompletedSends(o.sim->Log(), "FACT0001"), 1u) << o.sim->Log();
}

// A cut batch is rerun as it was typed: what went or came whole is kept.
TEST(Exchange, BatchesOfSendAndReceiveAreRerunAsTyped) {
  Office o;
  WriteFile(o.d / "store/RET1", BillingFile(3, 1));
  WriteFile(o.d / "store/RET2", BillingFile(4, 2));
  const Env env = {{"XMODEMQ_PASSWORD", kSecret}};
  const auto run = [&](std::vector<std::string> args) {
    args.insert(args.begin(), XMODEMQ_PATH);
    args.insert(args.end(), {"--user", "PS01", "--device", o.sim->Link(), "--journal",
                             (o.d / "journal.sqlite").string()});
    return Process(args, env).Wait(60s);
  };
  const std::string r1 = (o.d / "RET1").string(), r2 = (o.d / "RET2").string(),
                    r3 = (o.d / "RET3").string();
  EXPECT_EQ(run({"receive", r1, r2, r3}).status, 4);
  const Outcome again = run({"receive", r1, r2, r3});
  EXPECT_EQ(again.status, 4) << again.All();
  EXPECT_NE(again.err.find(r1 + " a déjà été reçu en entier"), std::string::npos) << again.All();
  EXPECT_EQ(again.err.find("existe déjà"), std::string::npos) << again.All();
  // A file changed since is not the one received: it is refused as before.
  WriteFile(o.d / "RET2", "changé");
  WriteFile(o.d / "store/RET3", BillingFile(2, 3));
  const Outcome changed = run({"receive", r1, r2, r3});
  EXPECT_EQ(changed.status, 2) << changed.All();
  EXPECT_NE(changed.err.find("existe déjà"), std::string::npos) << changed.All();
  EXPECT_EQ(run({"receive", r1, r3}).status, 0);
  EXPECT_EQ(ReadFile(o.d / "RET3"), BillingFile(2, 3));
  EXPECT_EQ(Count(o.sim->Log(), "réception de « RET1 »"), 1u);

  WriteFile(o.d / "FACT1.TXT", BillingFile(3, 4));
  WriteFile(o.d / "FACT2.TXT", BillingFile(3, 5));
  const std::string f1 = (o.d / "FACT1.TXT").string(), f2 = (o.d / "FACT2.TXT").string();
  EXPECT_EQ(run({"send", f1}).status, 0);
  const Outcome refused = run({"send", f1, f2});
  EXPECT_EQ(refused.status, 2) << refused.All();
  EXPECT_NE(refused.err.find("ou donnez --skip-sent pour n'envoyer que les autres"),
            std::string::npos)
      << refused.All();
  const Outcome skipped = run({"send", f1, f2, "--skip-sent"});
  EXPECT_EQ(skipped.status, 0) << skipped.All();
  EXPECT_NE(skipped.err.find(f1 + " a déjà été envoyé le "), std::string::npos) << skipped.All();
  EXPECT_EQ(run({"send", f1, f2, "--skip-sent"}).status, 0);
  EXPECT_EQ(CompletedSends(o.sim->Log(), "FACT1"), 1u);
  EXPECT_EQ(CompletedSends(o.sim->Log(), "FACT2"), 1u);
  EXPECT_EQ(ReadFile(o.d / "store/FACT2"), BillingFile(3, 5));
}

TEST(Exchange, EveryMistakeOfAProfileNamesItsKeyAndLine) {
  Office o;
  const std::string base =
      "user = \"PS01\"\npassword_file = \"pw\"\nlines = [\"/dev/null\"]\nspool = \"spool\"\n";
  const struct {
    std::string text;
    std::string said;
  } rows[] = {
      {base + "fetch_every = \"1 jour\"\n", "ligne 5 : la clé « fetch_every » attend une durée"},
      {base + "fetch_evry = \"1d\"\n", "ligne 5 : la clé « fetch_evry » est inconnue"},
      {base + "pad = \"non\"\n", "ligne 5 : la clé « pad » attend true ou false"},
      {base + "attempts = 0.5\n", "ligne 5 : la clé « attempts » attend un entier"},
      {base + "windows = [\"Lu 19:00-07:00\"]\n",
       "ligne 5 : la clé « windows » « Lu 19:00-07:00 » a des jours inconnus « Lu »"},
      {base + "windows = [\n  \"Mo-Fr 19:00-07:00\",\n  \"Sa 25:00-24:00\",\n]\n",
       "ligne 7 : la clé « windows » « Sa 25:00-24:00 » a une heure invalide"},
      {base + "alert = \"mail\"\n", "ligne 5 : la clé « alert » attend une liste"},
      {base + "alert_age = \"2 jours\"\n", "ligne 5 : la clé « alert_age » attend une durée"},
      {base + "timezone = \"Europe/Nowhere\"\n", "ligne 5 : la clé « timezone »"},
      {base + "retry_min = \"2h\"\nretry_max = \"1h\"\n", "ligne 6 : la clé « retry_max »"},
      {"user = \"PS01\"\npassword_file = \"pw\"\nlines = \"/dev/ttyS0\"\n",
       "ligne 3 : la clé « lines » attend une liste"},
      {base + "user = \"PS02\"\n", "ligne 5"},
      {"user = \"PS01\"\npassword_file = \"pw\"\nlines = [\"/dev/null\"]\n",
       "la clé « spool » manque"},
      {base + "fetch = [\"ARL{usr}\"]\n", "ligne 5 : la clé « fetch » a « {usr} » inconnu"},
      {base + "fetch = [\"../{user}\"]\n", "ligne 5 : la clé « fetch » donne « ../PS01 »"},
  };
  for (const auto& row : rows) {
    o.Profile(row.text);
    const Outcome check = o.Run({"--check"});
    EXPECT_EQ(check.status, 2) << row.text << check.All();
    EXPECT_NE(check.err.find(row.said), std::string::npos) << row.text << check.All();
    const Outcome run = o.Run({"--json"});
    EXPECT_EQ(run.status, 2) << row.text << run.All();
    EXPECT_EQ(One(run)["outcome"], Q("usage"));
  }
  fs::permissions(o.d / "profile.toml", fs::perms(0666));
  EXPECT_EQ(o.Run({"--check"}).status, 2);
}

}  // namespace
}  // namespace xmodemq::test
