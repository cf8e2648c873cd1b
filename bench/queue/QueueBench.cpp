// The queue's cost per file, without any line time: claim, one renewal of
// the lease, and the result recorded under the claim's generation, by 1, 3
// and 8 workers at once, each on its own connection. The peer, measured in
// the same run on the same server, is the least a job queue on PostgreSQL
// does: a bare claim loop (UPDATE … WHERE id IN (SELECT … FOR UPDATE SKIP
// LOCKED LIMIT 1) RETURNING) that marks each row done in one statement. The
// two alternate, round after round, so that both see the same disk and load.
//
//   queue_bench FILES FOLDER ADDRESS   (FOLDER is not used; run-postgresql.sh
//   gives the address of a server of its own)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "journal/postgresql/PgConnection.h"
#include "queue/PgQueue.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRounds = 3;

// Runs `work(w)` on `workers` threads at once; the wall time it took.
double Seconds(int workers, const std::function<void(int)>& work) {
  const auto start = Clock::now();
  std::vector<std::thread> threads;
  for (int w = 0; w < workers; ++w) threads.emplace_back(work, w);
  for (std::thread& t : threads) t.join();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// `files` submissions of 64 records each for `account`, in one transaction.
void Fill(xmodemq::PgQueue& queue, const std::string& account, int files) {
  const std::string bytes(64 * 128, 'F');
  std::vector<int> fds;
  std::vector<xmodemq::QueueInput> inputs;
  for (int i = 0; i < files; ++i) {
    const int fd = ::memfd_create("bench", MFD_CLOEXEC);
    if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) < 0) std::abort();
    ::lseek(fd, 0, SEEK_SET);
    fds.push_back(fd);
    inputs.push_back({"FACT" + std::to_string(100000 + i) + ".TXT", fd});
  }
  for (const auto& v : queue.Submit(account, inputs, false))
    if (v.id == 0) std::abort();
  for (const int fd : fds) ::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "queue_bench FILES FOLDER POSTGRESQL-ADDRESS\n");
    return 2;
  }
  const int files = std::max(1, std::atoi(argv[1]));
  const std::string address = argv[3];
  {
    xmodemq::PgConnection admin(address);
    admin.RunScript(
        "DROP SCHEMA IF EXISTS queue_bench CASCADE; CREATE SCHEMA queue_bench; "
        "CREATE TABLE queue_bench.jobs(id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY, "
        "account text NOT NULL, done boolean NOT NULL DEFAULT false); "
        "CREATE INDEX ON queue_bench.jobs(account, id) WHERE NOT done");
  }
  const std::string in_schema = address + (address.find('?') == std::string::npos ? "?" : "&") +
                                "options=-csearch_path%3Dqueue_bench";
  auto submitter = xmodemq::PgQueue::Open(in_schema, "bench", std::chrono::minutes(2));
  xmodemq::PgConnection peer_filler(in_schema);

  std::printf("%d files per run, %d rounds, median of the rounds\n", files, kRounds);
  std::printf(
      "| workers | queue: claim + renew + record, ms/file | bare SKIP LOCKED claim, "
      "ms/file | ratio | queue files/s |\n|---|---|---|---|---|\n");
  int run = 0;
  for (const int workers : {1, 3, 8}) {
    std::vector<double> queue_ms, bare_ms;
    for (int round = 0; round < kRounds; ++round) {
      const std::string account = "B" + std::to_string(++run);
      Fill(*submitter, account, files);
      peer_filler.Execute("INSERT INTO jobs(account) SELECT $1 FROM generate_series(1, $2::int)",
                          {account, std::to_string(files)});
      std::vector<std::unique_ptr<xmodemq::PgQueue>> queues;
      std::vector<std::unique_ptr<xmodemq::PgConnection>> bare;
      for (int w = 0; w < workers; ++w) {
        queues.push_back(
            xmodemq::PgQueue::Open(in_schema, "w" + std::to_string(w), std::chrono::minutes(2)));
        bare.push_back(std::make_unique<xmodemq::PgConnection>(in_schema));
      }
      const auto queue_run = [&](int w) {
        for (;;) {
          auto claims = queues[w]->Claim(account, 1);
          if (claims.empty()) return;
          if (!queues[w]->Renew(claims[0]) ||
              !queues[w]->Record(claims[0], xmodemq::QueueResult::kSent, ""))
            std::abort();
        }
      };
      const auto bare_run = [&](int w) {
        while (bare[w]
                   ->Execute("UPDATE jobs SET done = true WHERE id IN (SELECT id FROM jobs "
                             "WHERE account = $1 AND NOT done ORDER BY id LIMIT 1 "
                             "FOR UPDATE SKIP LOCKED) RETURNING id",
                             {account})
                   .Rows() > 0) {
        }
      };
      // One goes first in even rounds, the other in odd ones.
      double q = 0, b = 0;
      if (round % 2 == 0) q = Seconds(workers, queue_run);
      b = Seconds(workers, bare_run);
      if (round % 2 == 1) q = Seconds(workers, queue_run);
      if (submitter->Status(account).sent != files) std::abort();
      queue_ms.push_back(q * 1000 / files);
      bare_ms.push_back(b * 1000 / files);
    }
    std::sort(queue_ms.begin(), queue_ms.end());
    std::sort(bare_ms.begin(), bare_ms.end());
    const double qm = queue_ms[kRounds / 2], bm = bare_ms[kRounds / 2];
    std::printf("| %d | %.3f | %.3f | %.2f | %.0f |\n", workers, qm, bm, qm / bm, 1000 / qm);
  }
  xmodemq::PgConnection(address).RunScript("DROP SCHEMA queue_bench CASCADE");
  return 0;
}
