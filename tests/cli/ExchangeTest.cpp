#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>

#include <random>

#include <gtest/gtest.h>

#include "CommandTable.h"
#include "files/Sha256.h"
#include "journal/Sqlite.h"
#include "modem/ServerNumber.h"

namespace xmodemq::test {
namespace {

// A spool, its profile and a simulator whose store holds the server's files.
struct Office {
  TempDir d;
  std::unique_ptr<Simulator> sim;

  explicit Office(std::vector<std::string> extra = {}, const std::string& more = "") {
    for (const char* folder : {"store", "spool", "spool/outbox"}) {
      fs::create_directories(d / folder);
      fs::permissions(d / folder, fs::perms(0700));
    }
    WritePrivate(d / "pw", std::string(kSecret) + "\n");
    extra.insert(extra.end(), {"--store", (d / "store").string(), "--resume-sends"});
    sim = std::make_unique<Simulator>(d, extra);
    Profile("user = \"PS01\"\npassword_file = \"pw\"\nlines = [\"" + sim->Link() +
            "\"]\nspool = \"spool\"\nfetch = [\"ARL{user}\", \"REJ{date:%y%m%d}\"]\n"
            "settle = \"0s\"\njournal = \"journal.sqlite\"\n" +
            more);
  }
  void Profile(const std::string& text) const { WritePrivate(d / "profile.toml", text); }
  void Drop(const std::string& name, const std::string& content) const {
    WriteFile(d / "spool/outbox" / name, content);
  }
  std::vector<std::string> Args(std::vector<std::string> more = {}) const {
    more.insert(more.begin(),
                {XMODEMQ_PATH, "exchange", "--profile", (d / "profile.toml").string()});
    return more;
  }
  // A run started, the password from the profile only.
  Process Start(std::vector<std::string> more = {"--json"}) const {
    return Process(Args(std::move(more)), {{"XMODEMQ_PASSWORD", std::nullopt}});
  }
  Outcome Run(std::vector<std::string> more = {"--json"}) const {
    return Start(std::move(more)).Wait(120s);
  }
};

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
  // Each bill's name and content, as it must reach the server.
  std::map<std::string, std::string> bills;
  for (int i = 1; i <= 6; ++i)
    bills["FACT000" + std::to_string(i) + ".TXT"] = BillingFile(8 + i, static_cast<unsigned>(i));
  for (const auto& [name, content] : bills) o.Drop(name, content);
  o.Drop("FACT0007.TXT.tmp", BillingFile(5, 7));
  o.Drop(".FACT0009.TXT", BillingFile(5, 9));
  o.Drop("BAD.TXT", std::string(130, 'x'));
  o.Drop("VIDE.TXT", "");
  fs::create_symlink(o.d / "pw", o.d / "spool/outbox/LIEN.TXT");
  Process first = o.Start();
  // The billing software drops one while the call runs.
  ASSERT_TRUE(o.sim->Await("envoi de « FACT0001 »", 60s)) << o.sim->Log();
  o.Drop("FACT0008.TXT", bills["FACT0008.TXT"] = BillingFile(4, 8));
  Ends(first.Wait(120s), 20,
       {{"sent", "6"},
        {"held", "3"},
        {"received", "1"},
        {"not_waiting", "1"},
        {"outcome", Q("person")},
        {"line", Q(o.sim->Link())}});
  Said(ReadFile(o.d / "spool/held/BAD.TXT.raison"),
       {"130", ". La clé pad = true du profil envoie"});
  Said(ReadFile(o.d / "spool/held/VIDE.TXT.raison"), {"vide"});
  EXPECT_TRUE(fs::is_symlink(o.d / "spool/held/LIEN.TXT"));
  Said(ReadFile(o.d / "spool/held/LIEN.TXT.raison"), {"lien symbolique"});
  // The temporary name becomes the file's own; the second run takes it and
  // the one dropped during the first, and asks for no return again.
  fs::rename(o.d / "spool/outbox/FACT0007.TXT.tmp", o.d / "spool/outbox/FACT0007.TXT");
  bills["FACT0007.TXT"] = BillingFile(5, 7);
  Ends(o.Run(), 0, {{"sent", "2"}, {"received", "0"}});
  // Nothing more to do.
  Ends(o.Run(), 10, {{"sent", "0"}});
  const std::string log = o.sim->Log();
  std::vector<std::string> names;
  for (const auto& [bill, content] : bills) {
    const std::string stem = bill.substr(0, bill.find('.'));
    EXPECT_EQ(CompletedSends(log, stem), 1u) << bill << "\n" << log;
    EXPECT_EQ(ReadFile(o.d / "store" / stem), content) << bill;
    names.push_back(bill);
  }
  EXPECT_EQ(SentFiles(o.d / "spool"), names);
  EXPECT_EQ(Count(log, "réception de « ARLPS01 »"), 1u) << log;
  EXPECT_EQ(ReadFile(o.d / "spool/inbox/ARLPS01"), BillingFile(3, 9));
  EXPECT_FALSE(fs::exists(o.d / "spool/inbox/ARLPS01.1"));
  EXPECT_TRUE(fs::exists(o.d / "spool/outbox/.FACT0009.TXT"));
  // The journal follows each file to sent/.
  const Outcome journal =
      Xmq({"journal", "--json", "--journal", (o.d / "journal.sqlite").string()});
  const auto rows = ParseJsonLines(journal.out);
  ASSERT_TRUE(rows) << journal.All();
  std::size_t sends = 0;
  for (auto row : *rows)
    if (row["direction"] == Q("send")) {
      ++sends;
      Said(row["file"], {"/spool/sent/"});
    }
  EXPECT_EQ(sends, bills.size());
  // The status reads it all back.
  Ends(o.Run({"status", "--json"}), 0,
       {{"running", "false"},
        {"held_files", "3"},
        {"outbox_files", "0"},
        {"last_exit_status", "10"},
        {"last_return", Q((o.d / "spool/inbox/ARLPS01").string())}});
}

TEST(Exchange, ASecondRunAtOnceTriesLaterAndNamesTheHolder) {
  Office o({"--baud", "9600"});
  o.Drop("FACT0001.TXT", BillingFile(24, 1));
  Process first = o.Start();
  ASSERT_TRUE(o.sim->Await("envoi de « FACT0001 »", 60s)) << o.sim->Log();
  const Outcome status = o.Run({"status"});
  Said(status.out, {"Un échange est en cours : le processus " + std::to_string(first.Pid())});
  const Outcome second = o.Run();
  EXPECT_EQ(second.status, 75) << second.All();
  Said(One(second)["message"], {"le processus " + std::to_string(first.Pid())});
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
  const int kills = kUnderAddressSanitizer ? 8 : 30;
  int killed = 0;
  for (int round = 0; round < 200; ++round) {
    Process run = o.Start();
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
  Process first = o.Start();
  ASSERT_TRUE(o.sim->Await("envoi de « FACT0001 »", 60s)) << o.sim->Log();
  first.Signal(SIGKILL);
  EXPECT_EQ(first.Wait(30s).status, 128 + SIGKILL);
  Ends(o.Run(), 0, {{"sent", "1"}});
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
  Ends(o.Run(), 20, {{"sent", "1"}, {"held", "1"}});
  EXPECT_EQ(SentFiles(o.d / "spool"), std::vector<std::string>{"FACT0001.TXT"});
  Said(ReadFile(o.d / "spool/held/FACT0002.TXT.raison"), {"(status 7)"});
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
    Ends(busy, 75, {{"outcome", Q("later")}});
    Said(busy.out, {"un autre programme le tient"});
    holder.Execute("ROLLBACK");
  }
  EXPECT_TRUE(fs::exists(o.d / "spool/outbox/FACT0001.TXT"));
  EXPECT_EQ(o.Run().status, 0);
  EXPECT_EQ(CompletedSends(o.sim->Log(), "FACT0001"), 1u) << o.sim->Log();
}

// A cut batch is rerun as it was typed: what went or came whole is kept.
TEST(Exchange, BatchesOfSendAndReceiveAreRerunAsTyped) {
  Office o;
  WriteFile(o.d / "store/RET1", BillingFile(3, 1));
  WriteFile(o.d / "store/RET2", BillingFile(4, 2));
  // Each command run in turn, its status and what it says.
  const auto run = [&](const std::vector<Then>& steps) {
    for (const Then& step : steps) {
      std::vector<std::string> args = step.args;
      SCOPED_TRACE(args.front() + " " + std::to_string(args.size()));
      args.insert(args.end(), {"--user", "PS01", "--device", o.sim->Link(), "--journal",
                               (o.d / "journal.sqlite").string()});
      Expect(Xmq(args, {{"XMODEMQ_PASSWORD", kSecret}}), step.status, step.said);
    }
  };
  const std::string r1 = (o.d / "RET1").string(), r2 = (o.d / "RET2").string(),
                    r3 = (o.d / "RET3").string();
  run({{{"receive", r1, r2, r3}, 4},
       {{"receive", r1, r2, r3}, 4, {r1 + " a déjà été reçu en entier", "!existe déjà"}}});
  // A file changed since is not the one received: it is refused as before.
  WriteFile(o.d / "RET2", "changé");
  WriteFile(o.d / "store/RET3", BillingFile(2, 3));
  run({{{"receive", r1, r2, r3}, 2, {"existe déjà"}}, {{"receive", r1, r3}, 0}});
  EXPECT_EQ(ReadFile(o.d / "RET3"), BillingFile(2, 3));
  EXPECT_EQ(Count(o.sim->Log(), "réception de « RET1 »"), 1u);

  WriteFile(o.d / "FACT1.TXT", BillingFile(3, 4));
  WriteFile(o.d / "FACT2.TXT", BillingFile(3, 5));
  const std::string f1 = (o.d / "FACT1.TXT").string(), f2 = (o.d / "FACT2.TXT").string();
  run({{{"send", f1}, 0},
       {{"send", f1, f2}, 2, {"ou donnez --skip-sent pour n'envoyer que les autres"}},
       {{"send", f1, f2, "--skip-sent"}, 0, {f1 + " a déjà été envoyé le "}},
       {{"send", f1, f2, "--skip-sent"}, 0}});
  EXPECT_EQ(CompletedSends(o.sim->Log(), "FACT1"), 1u);
  EXPECT_EQ(CompletedSends(o.sim->Log(), "FACT2"), 1u);
  EXPECT_EQ(ReadFile(o.d / "store/FACT2"), BillingFile(3, 5));
}

TEST(Exchange, EveryMistakeOfAProfileNamesItsKeyAndLine) {
  Office o;
  const std::string bare = "user = \"PS01\"\npassword_file = \"pw\"\nlines = [\"/dev/null\"]\n";
  const std::string base = bare + "spool = \"spool\"\n";
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
      {base + "lease = \"1s\"\n", "ligne 5 : la clé « lease » est trop courte : 2s au moins"},
      {base + "lease = \"2 min\"\n", "ligne 5 : la clé « lease » attend une durée"},
      {base + "queue = true\njournal = \"j.sqlite\"\n",
       "ligne 5 : la clé « queue » demande un journal PostgreSQL"},
      // No spool needed, but a database.
      {bare + "queue = true\n", "ligne 4 : la clé « queue » demande un journal PostgreSQL"},
      {"user = \"PS01\"\npassword_file = \"pw\"\nlines = \"/dev/ttyS0\"\n",
       "ligne 3 : la clé « lines » attend une liste"},
      {base + "user = \"PS02\"\n", "ligne 5"},
      {bare, "la clé « spool » manque"},
      {base + "fetch = [\"ARL{usr}\"]\n", "ligne 5 : la clé « fetch » a « {usr} » inconnu"},
      {base + "fetch = [\"../{user}\"]\n", "ligne 5 : la clé « fetch » donne « ../PS01 »"},
  };
  for (const auto& row : rows) {
    o.Profile(row.text);
    SCOPED_TRACE(row.text);
    Expect(o.Run({"--check"}), 2, {row.said});
    Ends(o.Run({"--json"}), 2, {{"outcome", Q("usage")}});
  }
  fs::permissions(o.d / "profile.toml", fs::perms(0666));
  EXPECT_EQ(o.Run({"--check"}).status, 2);
}

// The layout the package's guide makes: the staff, members of the spool's
// group, drop files into outbox/ (3770) and read the returns in inbox/
// (2770), which are theirs to read (0640) and no one else's; they read the
// exchange's status, and a user outside the group is refused. Any other
// sharing is refused before anything moves. As root, the second user is the
// staff, and the group theirs.
TEST(Exchange, AnOutboxAndAnInboxSharedWithTheSpoolsGroupAsTheGuideMakesThem) {
  const passwd* staff = Intruder() ? ::getpwuid(*Intruder()) : nullptr;
  const gid_t group = staff ? staff->pw_gid : ::getegid();
  const auto share = [&](const fs::path& folder, mode_t mode, gid_t gid) {
    ASSERT_EQ(::chown(folder.c_str(), static_cast<uid_t>(-1), gid), 0) << folder;
    ASSERT_EQ(::chmod(folder.c_str(), mode), 0) << folder;
  };
  const struct {
    const char* what;
    const char* folder;
    mode_t mode;
    bool other_group;
    const char* said;
  } refused[] = {
      {"an outbox without the sticky bit", "outbox", 02770, false, "sticky (mode 3770)"},
      {"an outbox without set-group-ID", "outbox", 01770, false, "sticky (mode 3770)"},
      {"an outbox that others can write", "outbox", 03777, false, "(mode 3777)"},
      {"an outbox of another group", "outbox", 03770, true, "(mode 3770) ; partagé"},
      {"an inbox without set-group-ID", "inbox", 0770, false, "set-group-ID (mode 2770)"},
      {"a held folder shared like an inbox", "held", 02770, false, "(mode 2770)"},
      {"a sent folder shared like an outbox", "sent", 03770, false, "(mode 3770)"},
  };
  // One office for every case: a simulator takes seconds to start. Its
  // folder is the journal's, shared with the group as the package's
  // /var/lib/xmodemq; the profile is root's, the group's to read.
  Office o;
  share(o.d.path(), 02750, group);
  share(o.d / "profile.toml", 0640, group);
  WriteFile(o.d / "store/ARLPS01", BillingFile(2, 4));
  for (const char* f : {"outbox", "inbox", "held", "sent"})
    fs::create_directories(o.d / "spool" / f);
  const auto layout = [&] {
    share(o.d / "spool", 02750, group);
    share(o.d / "spool/outbox", 03770, group);
    share(o.d / "spool/inbox", 02770, group);
    share(o.d / "spool/held", 0700, group);
    share(o.d / "spool/sent", 0700, group);
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.what);
    if (c.other_group && ::geteuid() != 0) continue;
    layout();
    share(o.d / "spool" / c.folder, c.mode, c.other_group ? 65534 : group);
    o.Drop("FACT0001.TXT", BillingFile(3, 1));
    const Outcome r = o.Run();
    EXPECT_NE(r.status, 0) << r.All();
    Said(r.All(), {(o.d / "spool" / c.folder).string() + " n'est pas sûr"});
    Said(r.All(), {c.said});
    EXPECT_TRUE(fs::exists(o.d / "spool/outbox/FACT0001.TXT"));
    EXPECT_EQ(CompletedSends(o.sim->Log(), "FACT0001"), 0u);
  }
  layout();
  // Colleagues' files, readable through the group, the account's to move.
  for (const char* name : {"FACT0001.TXT", "FACT0002.TXT"}) {
    o.Drop(name, BillingFile(3, name[7] - '0'));
    ASSERT_EQ(::chmod((o.d / "spool/outbox" / name).c_str(), 0640), 0);
    if (Intruder()) {
      ASSERT_EQ(::chown((o.d / "spool/outbox" / name).c_str(), *Intruder(), group), 0);
    }
  }
  o.Drop("BAD.TXT", std::string(130, 'x'));
  // --now: the refused runs above count as failed calls, which back off.
  const Outcome r = o.Run({"--json", "--now"});
  EXPECT_EQ(r.status, 20) << r.All();
  EXPECT_EQ(CompletedSends(o.sim->Log(), "FACT0001"), 1u) << o.sim->Log();
  EXPECT_EQ(CompletedSends(o.sim->Log(), "FACT0002"), 1u) << o.sim->Log();
  EXPECT_EQ(SentFiles(o.d / "spool"), (std::vector<std::string>{"FACT0001.TXT", "FACT0002.TXT"}));
  struct stat ret {};
  ASSERT_EQ(::stat((o.d / "spool/inbox/ARLPS01").c_str(), &ret), 0) << r.All();
  EXPECT_EQ(ret.st_mode & 07777, 0640u);
  EXPECT_EQ(ret.st_gid, group);
  EXPECT_EQ(ReadFile(o.d / "spool/inbox/ARLPS01"), BillingFile(2, 4));
  if (!staff) GTEST_SKIP() << "exchange status as a member of the group needs root (useradd)";
  // A member of the group reads the status whole, writing nothing: the
  // journal is read as it is, without a file beside it.
  const auto status = [&](std::vector<std::string> args) {
    return Process(o.Args(std::move(args)), {}, {}, {}, Intruder()).Wait(30s);
  };
  const Outcome member = status({"status", "--json"});
  // clang-format off
  Ends(member, 0, {{"held_files", "1"}, {"outbox_files", "0"}, {"last_exit_status", "20"}, {"schedule_error", "(absent)"},
                   {"alerts_open", "1"}, {"alerts", Q("held : 1 fichier(s) retenu(s) dans held/ : voir leur .raison")}});
  // clang-format on
  Said(member.out, {"\"held\":\"BAD.TXT : ", "BAD.TXT fait 130 octets, pas un nombre entier"});
  Said(status({"status"}).out, {"Retenus : 1\n  BAD.TXT : ", "Appels aujourd'hui : 1 sur 12\n",
                                "Alertes ouvertes : 1\n  held depuis le "});
  EXPECT_FALSE(fs::exists(o.d / "journal.sqlite-wal"));
  // Anyone else is refused, and told why.
  share(o.d / "spool", 02750, 65534);
  const Outcome stranger = status({"status", "--json"});
  EXPECT_EQ(stranger.status, 20) << stranger.All();
  Said(stranger.out, {"ne vous est pas lisible (accès refusé) : l'état des échanges du "
                      "service se lit en membre du groupe de son spool"});
}

}  // namespace
}  // namespace xmodemq::test
