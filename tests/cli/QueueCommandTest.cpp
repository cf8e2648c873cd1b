// `xmodemq submit` and the queue's part of `exchange status`, run as the
// billing software and a person run them, on the test program's own
// PostgreSQL server.

#include <gtest/gtest.h>

#include "CommandTable.h"
#include "files/Sha256.h"
#include "postgresql/PgServer.h"
#include "queue/PgQueue.h"

namespace xmodemq::test {
namespace {

struct Desk {
  TempDir d;
  std::string address;
  explicit Desk(const std::string& schema) : address(TheServer()->JournalAddress(schema)) {
    for (const char* folder :
         {"spool", "spool/outbox", "spool/sent", "spool/held", "spool/inbox", "spool/.entrant"}) {
      fs::create_directories(d / folder);
      fs::permissions(d / folder, fs::perms(0700));
    }
    WriteFile(d / "pw", "x\n");
    Profile(address);
  }
  void Profile(const std::string& journal, const std::string& more = "lease = \"2s\"\n") const {
    WritePrivate(d / "profile.toml",
                 "user = \"PS01\"\npassword_file = \"pw\"\nlines = [\"/dev/null\"]\nspool = "
                 "\"spool\"\njournal = \"" +
                     journal + "\"\n" + more);
  }
  Outcome Run(std::vector<std::string> args) const {
    args.insert(args.end(), {"--profile", (d / "profile.toml").string()});
    return Xmq(std::move(args));
  }
  std::string File(const std::string& name, const std::string& content) const {
    WriteFile(d / name, content);
    return (d / name).string();
  }
};

// Every file is checked as the outbox's are and all of them are stored, or
// none; a name and content submitted before are refused unless --again; a
// database that cannot be reached is to be tried later. Any machine's
// status shows the queue.
TEST(Queue, SubmitStoresAllOrNothingAndStatusShowsTheQueue) {
  XMQ_NEED_POSTGRESQL();
  Desk desk("submit");
  const std::string f1 = desk.File("FACT1.TXT", BillingFile(3, 1));
  const std::string f2 = desk.File("FACT2.TXT", BillingFile(4, 2));
  fs::create_directories(desk.d / "other");
  const std::string same_key = desk.File("other/fact1.txt", BillingFile(2, 3));
  const std::string odd = desk.File("ODD.TXT", "not whole records");
  const Outcome stored = desk.Run({"submit", f1, f2, "--json"});
  ASSERT_EQ(stored.status, 0) << stored.All();
  const auto objects = ParseJsonLines(stored.out);
  ASSERT_TRUE(objects && objects->size() == 2) << stored.out;
  EXPECT_EQ(objects->at(1).at("sha256"), Q(Sha256Of(BillingFile(4, 2))));
  EXPECT_EQ(objects->at(1).at("name"), Q("FACT2.TXT"));
  const struct {
    const char* what;
    std::vector<std::string> args;
    int status;
    std::string said;
    std::int64_t stored;
  } rows[] = {
      {"repeated", {"submit", f1}, 2, "déjà déposé le", 0},
      {"a bad file among good ones", {"submit", "--again", f1, odd}, 2, "rien n'a été déposé", 0},
      {"one name for the server", {"submit", "--again", f1, same_key}, 2, "même nom", 0},
      {"missing", {"submit", (desk.d / "none").string()}, 2, "none", 0},
      {"again", {"submit", f1, "--again"}, 0, "FACT1.TXT déposé (", 1},
  };
  PgConnection db(desk.address);
  for (const auto& row : rows) {
    const std::int64_t before = db.Execute("SELECT count(*) FROM queue_files").Int(0, 0);
    const Outcome r = desk.Run(row.args);
    EXPECT_EQ(r.status, row.status) << row.what << r.All();
    EXPECT_NE(r.All().find(row.said), std::string::npos) << row.what << r.All();
    EXPECT_EQ(db.Execute("SELECT count(*) FROM queue_files").Int(0, 0), before + row.stored)
        << row.what;
  }
  // From any machine: the queue's depth, who holds which file and which line.
  auto worker = PgQueue::Open(desk.address, "poste-B pid 42", std::chrono::minutes(2));
  ASSERT_EQ(worker->Claim("PS01", 1).size(), 1u);
  ASSERT_TRUE(worker->ClaimLine("rfc2217://modems:7001"));
  const Outcome text = desk.Run({"exchange", "status"});
  ASSERT_EQ(text.status, 0) << text.All();
  Said(text.out, {"File d'attente : 3 fichier(s), 1 280 octets",
                  "  FACT1.TXT : poste-B pid 42, bail jusqu'au ",
                  "  rfc2217://modems:7001 : poste-B pid 42, bail jusqu'au "});
  const JsonFields json = One(desk.Run({"exchange", "status", "--json"}));
  EXPECT_EQ(json.at("queue_waiting"), "3");
  EXPECT_EQ(json.at("queue_sent"), "0");
  Said(json.at("queue_line_leases"), {"rfc2217://modems:7001 : poste-B pid 42 : "});
  desk.Profile("postgresql://xmodemq@%2Fnowhere/xmodemq");
  EXPECT_EQ(desk.Run({"submit", f2}).status, 75);
  Said(desk.Run({"exchange", "status"}).out, {"File d'attente illisible"});
  desk.Profile("journal.sqlite");
  EXPECT_EQ(desk.Run({"submit", f2}).status, 2);
  // The billing software's machine holds neither the password nor a line.
  WriteFile(desk.d / "profile.toml",
            "user = \"PS01\"\nqueue = true\njournal = \"" + desk.address + "\"\n");
  EXPECT_EQ(desk.Run({"submit", f2, "--again"}).status, 0);
  EXPECT_EQ(desk.Run({"exchange", "status"}).status, 0);
  EXPECT_EQ(desk.Run({"exchange", "--now"}).status, 2);
}

}  // namespace
}  // namespace xmodemq::test
