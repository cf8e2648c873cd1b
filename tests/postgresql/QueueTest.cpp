// The queue that several machines serve, against the test program's own
// PostgreSQL server, as the least-privilege role in a schema of its own:
// fencing by generation, claims that never overlap, leases that end, lines
// leased one holder at a time, submissions refused when repeated, bytes kept
// in chunks.
#include <sys/mman.h>
#include <unistd.h>

#include <set>
#include <thread>
#include <tuple>

#include "files/Sha256.h"
#include "journal/Journal.h"
#include "postgresql/PgServer.h"
#include "queue/PgQueue.h"

namespace xmodemq {
namespace {

using test::TheServer;
using namespace std::chrono_literals;

// A descriptor that holds `bytes`, read from its start.
struct Bytes {
  explicit Bytes(const std::string& bytes) : fd(::memfd_create("queue", MFD_CLOEXEC)) {
    EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::lseek(fd, 0, SEEK_SET);
  }
  ~Bytes() { ::close(fd); }
  // Everything written to it since `from`.
  std::string Read(off_t from = 0) const {
    std::string text(static_cast<std::size_t>(::lseek(fd, 0, SEEK_END) - from), '\0');
    EXPECT_EQ(::pread(fd, text.data(), text.size(), from), static_cast<ssize_t>(text.size()));
    return text;
  }
  int fd;
};

class Queue : public ::testing::Test {
 protected:
  void SetUp() override {
    XMQ_NEED_POSTGRESQL();
    static int schemas = 0;
    address_ = TheServer()->JournalAddress("q" + std::to_string(++schemas));
  }
  std::unique_ptr<PgQueue> Open(const std::string& holder, std::chrono::milliseconds lease = 60s) {
    return PgQueue::Open(address_, holder, lease);
  }
  // Submits `names` (each name's content is the name itself) for "DR1".
  std::vector<SubmitVerdict> Submit(PgQueue& queue, const std::vector<std::string>& names,
                                    bool again = false) {
    std::vector<std::unique_ptr<Bytes>> files;
    std::vector<QueueInput> inputs;
    for (const std::string& name : names) {
      files.push_back(std::make_unique<Bytes>("content of " + name));
      inputs.push_back({name, files.back()->fd});
    }
    return queue.Submit("DR1", inputs, again);
  }
  std::int64_t Count(PgQueue& queue, const std::string& sql) {
    return queue.Connection().Execute(sql).Int(0, 0);
  }
  std::string address_;
};

// A worker whose lease ended is fenced off by the next claim's generation:
// its renewal, result and release change nothing, and each refusal is kept
// under its holder and generation. A released file is claimed again at once;
// a file recorded is never claimed again.
TEST_F(Queue, OlderGenerationIsRefusedAndLogged) {
  // A lease of no time at all ends at once: no wait in the test.
  auto a = Open("A", 0ms);
  auto b = Open("B");
  ASSERT_EQ(Submit(*a, {"F1", "F2"})[1].refusal, "");
  auto first = a->Claim("DR1", 1);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(std::tie(first[0].file.name, first[0].file.account, first[0].previous_holder),
            std::make_tuple("F1", "DR1", ""));
  EXPECT_EQ(first[0].file.sha256, Sha256OfDescriptor(Bytes("content of F1").fd));
  EXPECT_EQ(a->Claim("OTHER", 5).size(), 0u) << "another account's queue";
  // Any machine reads who holds what, and which lease ended.
  EXPECT_EQ(PgQueue::OpenToRead(TheServer()->JournalAddress("qempty")), nullptr);
  auto reader = PgQueue::OpenToRead(address_);
  QueueStatus status = reader->Status("DR1");
  EXPECT_EQ(std::tie(status.waiting, status.waiting_bytes), std::make_tuple(2, 2 * 13));
  EXPECT_EQ(reader->Status("OTHER").waiting, 0);
  EXPECT_FALSE(status.oldest.empty());
  ASSERT_EQ(status.files.size(), 1u);
  const QueueStatus::Held& held = status.files[0];
  EXPECT_EQ(std::tie(held.what, held.holder, held.generation, held.lease_end, held.ended),
            std::make_tuple("F1", "A", first[0].generation, first[0].lease_end, true));

  auto taken = b->Claim("DR1", 5);
  ASSERT_EQ(taken.size(), 2u);
  EXPECT_EQ(std::tie(taken[0].file.id, taken[0].previous_holder),
            std::make_tuple(first[0].file.id, "A"));
  EXPECT_GT(taken[0].generation, first[0].generation);
  EXPECT_NE(taken[1].generation, taken[0].generation);
  EXPECT_EQ(a->Claim("DR1", 5).size(), 0u) << "B's leases hold";
  status = reader->Status("DR1");
  ASSERT_EQ(status.files.size(), 2u);
  EXPECT_EQ(std::tie(status.files[1].holder, status.files[1].ended), std::make_tuple("B", false));

  QueueClaim late = first[0];
  EXPECT_FALSE(a->Renew(late));
  EXPECT_FALSE(a->Record(late, QueueResult::kSent, "late"));
  EXPECT_FALSE(a->Release(late));
  const PgResult logged = a->Connection().Execute(
      "SELECT what, generation, holder, action FROM queue_late ORDER BY at, action");
  ASSERT_EQ(logged.Rows(), 3);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(logged.Text(i, 0), "fichier " + std::to_string(late.file.id));
    EXPECT_EQ(logged.Int(i, 1), late.generation);
    EXPECT_EQ(logged.Text(i, 2), "A");
  }

  // The current generation renews (the lease end moves), records once, and
  // what went is never claimed again; its bytes are dropped.
  const std::string end = taken[0].lease_end;
  EXPECT_TRUE(b->Renew(taken[0]));
  EXPECT_GE(taken[0].lease_end, end);
  EXPECT_TRUE(b->Record(taken[0], QueueResult::kSent, "ok"));
  EXPECT_FALSE(b->Record(taken[0], QueueResult::kSent, "twice"));
  EXPECT_TRUE(b->Release(taken[1]));
  EXPECT_FALSE(b->Renew(taken[1])) << "released: the claim is over";
  EXPECT_FALSE(b->Record(taken[1], QueueResult::kSent, "after release"));
  auto again = a->Claim("DR1", 5);
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].file.name, "F2");
  EXPECT_TRUE(a->Record(again[0], QueueResult::kHeld, "refusé"));
  EXPECT_EQ(b->Claim("DR1", 5).size(), 0u);
  status = b->Status("DR1");
  EXPECT_EQ(std::tie(status.waiting, status.sent, status.held, status.late),
            std::make_tuple(0, 1, 1, 6));
  EXPECT_EQ(Count(*b, "SELECT count(*) FROM queue_chunks WHERE owner = " +
                          std::to_string(taken[0].file.id)),
            0);
  EXPECT_EQ(Count(*b, "SELECT count(*) FROM queue_chunks"), 1) << "the held file's bytes stay";
}

// Claimers on as many connections at once, each taking a few files at a
// time: every file is claimed once, by one of them, and none is missed.
TEST_F(Queue, ConcurrentClaimersNeverShareAFile) {
  constexpr int kFiles = 240, kClaimers = 6;
  std::vector<std::string> names;
  for (int i = 0; i < kFiles; ++i) names.push_back("F" + std::to_string(i));
  auto submitter = Open("S");
  ASSERT_EQ(Submit(*submitter, names).back().refusal, "");
  std::vector<std::vector<std::int64_t>> got(kClaimers);
  std::vector<std::thread> threads;
  for (int c = 0; c < kClaimers; ++c)
    threads.emplace_back([&, c] {
      auto queue = Open("W" + std::to_string(c));
      for (;;) {
        auto claims = queue->Claim("DR1", 3);
        if (claims.empty()) return;
        for (QueueClaim& claim : claims) {
          got[c].push_back(claim.file.id);
          EXPECT_TRUE(queue->Record(claim, QueueResult::kSent, ""));
        }
      }
    });
  for (std::thread& t : threads) t.join();
  std::multiset<std::int64_t> all;
  for (const auto& ids : got) all.insert(ids.begin(), ids.end());
  EXPECT_EQ(all.size(), std::size_t{kFiles});
  EXPECT_EQ(std::set<std::int64_t>(all.begin(), all.end()).size(), std::size_t{kFiles});
  EXPECT_EQ(Count(*submitter, "SELECT count(*) FROM queue_late"), 0);
}

// Submissions: all or none, a repeated name and content refused unless
// again, the bytes kept in chunks and given back whole; a chunk changed in
// the database is caught when the file is fetched.
TEST_F(Queue, SubmitKeepsBytesAndRefusesRepeats) {
  auto queue = Open("S");
  std::string big(PgQueue::kChunk * 3 + 1234, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 991);
  Bytes file(big);
  Bytes empty("");
  const auto stored = queue->Submit("DR1", {{"BIG", file.fd}, {"EMPTY", empty.fd}}, false);
  ASSERT_EQ(stored[0].refusal, "");
  EXPECT_EQ(stored[0].bytes, static_cast<std::int64_t>(big.size()));
  EXPECT_EQ(Count(*queue, "SELECT count(*) FROM queue_chunks"), 4);
  struct Case {
    const char* what;
    std::vector<std::string> names;
    bool again;
    std::vector<bool> refused;
  };
  // clang-format off
  const Case cases[] = {
      {"new names", {"A", "B"}, false, {false, false}},
      {"one repeated: none stored", {"C", "A"}, false, {false, true}},
      {"the same twice in one go", {"D", "D"}, false, {false, true}},
      {"without a name", {""}, true, {true}},
      {"again", {"A", "C"}, true, {false, false}},
  };
  // clang-format on
  for (const Case& c : cases) {
    const std::int64_t before = Count(*queue, "SELECT count(*) FROM queue_files");
    const auto verdicts = Submit(*queue, c.names, c.again);
    bool any = false;
    for (std::size_t i = 0; i < c.names.size(); ++i) {
      EXPECT_EQ(!verdicts[i].refusal.empty(), c.refused[i]) << c.what << " " << i;
      any = any || c.refused[i];
    }
    for (const SubmitVerdict& v : verdicts) EXPECT_EQ(v.id != 0, !any) << c.what;
    EXPECT_EQ(Count(*queue, "SELECT count(*) FROM queue_files"),
              before + (any ? 0 : static_cast<std::int64_t>(c.names.size())))
        << c.what;
  }
  auto claims = queue->Claim("DR1", 2);
  ASSERT_EQ(claims.size(), 2u);
  Bytes out("x");
  ::lseek(out.fd, 1, SEEK_SET);
  queue->Fetch(claims[0].file, out.fd);
  EXPECT_TRUE(out.Read(1) == big) << "the bytes, whole and in order";
  Bytes none("");
  queue->Fetch(claims[1].file, none.fd);
  EXPECT_EQ(none.Read(), "");
  std::string read;
  queue->ReadChunks(claims[0].file.id, [&](std::string_view chunk) { read += chunk; });
  EXPECT_TRUE(read == big);
  queue->Connection().Execute("UPDATE queue_chunks SET data = '\\x00' WHERE seq = 3");
  Bytes changed("");
  EXPECT_THROW(queue->Fetch(claims[0].file, changed.fd), JournalError);
}

// A line is leased by one holder at a time; its lease ends, or is given
// back, and another holder takes it; an older generation is refused.
TEST_F(Queue, LineLeasesAreExclusive) {
  auto a = Open("A");
  auto b = Open("B", 0ms);
  const std::string line = "rfc2217://modems:7001";
  auto held = a->ClaimLine(line);
  ASSERT_TRUE(held);
  EXPECT_FALSE(b->ClaimLine(line)) << "A's lease holds";
  auto other = b->ClaimLine("m1:/dev/ttyS0");
  ASSERT_TRUE(other) << "another line";
  EXPECT_TRUE(a->ClaimLine("m1:/dev/ttyS0")) << "B's lease of no time ended";
  EXPECT_FALSE(b->RenewLine(*other));
  EXPECT_FALSE(b->ReleaseLine(*other));
  const std::string end = held->lease_end;
  EXPECT_TRUE(a->RenewLine(*held));
  EXPECT_GE(held->lease_end, end) << "the lease end moves on";
  const QueueStatus status = a->Status("DR1");
  ASSERT_EQ(status.lines.size(), 2u);
  EXPECT_EQ(std::tie(status.lines[0].holder, status.lines[0].ended, status.late),
            std::make_tuple("A", false, 2));
  EXPECT_TRUE(a->ReleaseLine(*held));
  EXPECT_FALSE(a->ReleaseLine(*held));
  EXPECT_TRUE(b->ClaimLine(line)) << "given back";

  // clang-format off
  const std::pair<std::string, std::string> keys[] = {
      {"rfc2217://Modems.Example:7001", "rfc2217://modems.example:7001"},
      {"RFC2217://HOST:1/Port?X=A", "rfc2217://host:1/Port?X=A"},
      {"/dev/ttyS0", "m1:/dev/ttyS0"},
      {"rfc2217:/", "m1:rfc2217:/"},
  };
  // clang-format on
  for (const auto& [device, key] : keys) EXPECT_EQ(PgQueue::LineKey(device, "m1"), key) << device;
}

}  // namespace
}  // namespace xmodemq
