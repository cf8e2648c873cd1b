// The journal's cost per transfer and its size.
//
// Each transfer writes its row as the command does: a row when it is
// reserved before the dial (the never-twice rule's look-up, with the send's
// prefix digests, 16 bytes per block), its line when it starts and its end,
// each a transaction synced to disk. The peer, measured in the same run and folder,
// is the least a durable record costs: a small file written, fsync'ed and
// closed. Then the journal is filled to `transfers` sends of 400-block files
// under distinct names, one in 100 cut (its digests kept), and its size
// read once checkpointed, as the command leaves it.
//
// Given a PostgreSQL address (run-postgresql.sh starts a server of its own
// on a Unix socket), the same transfers go to a journal in that database,
// interleaved with its peer in the same run: a bare INSERT and COMMIT of a
// row of the same size on the same connection's server.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>

#include "files/Sha256.h"
#include "journal/Journal.h"
#include "journal/postgresql/PgConnection.h"
#include "system/ProcessIdentity.h"
#include "terminal/Timestamps.h"

namespace {

using xmodemq::Journal;
using xmodemq::JournalRow;
using Clock = std::chrono::steady_clock;

constexpr int kBlocks = 400;

double Milliseconds(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

JournalRow Row(int i) {
  JournalRow row;
  row.call_id = "bench";
  row.started = xmodemq::UtcNow();
  row.direction = "send";
  row.file = "/srv/facturation/2024/FACT" + std::to_string(100000 + i) + ".TXT";
  row.server_name = row.server_key = "FACT" + std::to_string(100000 + i);
  row.server = "0199001234";
  row.user = "PS0001";
  row.line = "/dev/ttyUSB0";
  row.bytes = kBlocks * 128;
  row.sha256 = std::string(64, 'a');
  row.pid = ::getpid();
  row.process = xmodemq::ThisProcess();
  return row;
}

// One send's row written and ended, as the command writes it: reserved
// before the dial, on its line when it starts, then ended.
void Transfer(Journal& journal, int i, const std::string& prefixes) {
  std::vector<JournalRow> rows = {Row(i)};
  if (journal.ReserveSends(rows, {prefixes}, xmodemq::Repeat::kNo)[0].Held()) std::abort();
  JournalRow& row = rows[0];
  row.line = "/dev/ttyUSB0";
  journal.Begin(row, prefixes);
  row.ended = xmodemq::UtcNow();
  const bool cut = i % 100 == 99;
  row.result = cut ? "rvCTS" : "rvTrue";
  row.description = cut ? "La ligne est coupée" : "";
  row.blocks = cut ? kBlocks / 2 : kBlocks;
  row.resumed_from = 0;
  row.exit_status = cut ? 3 : 0;
  journal.End(row);
}

// A small record made durable the plain way.
void DurableWrite(const std::string& path, int i) {
  const std::string line = std::string(250, 'x') + std::to_string(i) + "\n";
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0 || ::write(fd, line.data(), line.size()) < 0 || ::fsync(fd) != 0) std::abort();
  ::close(fd);
}

// Milliseconds per call of `measured` and of `peer`, in interleaved rounds
// of 40 calls each, so that both see the same disk and the same load.
constexpr int kRounds = 5, kEach = 40;
std::pair<double, double> Interleaved(const std::function<void(int)>& measured,
                                      const std::function<void(int)>& peer) {
  Clock::duration measured_time{}, peer_time{};
  for (int round = 0; round < kRounds; ++round) {
    auto start = Clock::now();
    for (int i = 0; i < kEach; ++i) measured(round * kEach + i);
    measured_time += Clock::now() - start;
    start = Clock::now();
    for (int i = 0; i < kEach; ++i) peer(i);
    peer_time += Clock::now() - start;
  }
  return {Milliseconds(measured_time) / (kRounds * kEach),
          Milliseconds(peer_time) / (kRounds * kEach)};
}

// The journal in the database at `address` against a bare INSERT+COMMIT
// there, in interleaved rounds; and the SQLite journal's time per transfer
// beside them (`sqlite_ms`).
void CompareOnPostgresql(const std::string& address, const std::string& folder,
                         const std::string& prefixes, double sqlite_ms) {
  xmodemq::PgConnection admin(address);
  admin.RunScript(
      "DROP SCHEMA IF EXISTS journal_bench CASCADE; CREATE SCHEMA journal_bench; "
      "CREATE TABLE journal_bench.peer(id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY, "
      "line text NOT NULL)");
  const std::string in_schema = address + (address.find('?') == std::string::npos ? "?" : "&") +
                                "options=-csearch_path%3Djournal_bench";
  auto journal = Journal::Open({folder + "/pg/journal.sqlite", true, folder, in_schema},
                               Journal::Access::kWrite);
  xmodemq::PgConnection peer(in_schema);
  const std::string line(250, 'x');
  const auto [per_transfer, per_insert] =
      Interleaved([&](int i) { Transfer(*journal, i, prefixes); },
                  [&](int) {
                    peer.Execute("BEGIN");
                    peer.Execute("INSERT INTO peer(line) VALUES ($1)", {line});
                    peer.Execute("COMMIT");
                  });
  std::printf("PostgreSQL journal, per transfer (reserve + start + end): %.2f ms\n", per_transfer);
  std::printf("peer, one bare INSERT + COMMIT on the same server:       %.2f ms\n", per_insert);
  std::printf("ratio PostgreSQL journal / INSERT+COMMIT:                 %.2f\n",
              per_transfer / per_insert);
  std::printf("ratio PostgreSQL journal / SQLite journal:                %.2f\n",
              per_transfer / sqlite_ms);
  journal.reset();
  admin.RunScript("DROP SCHEMA journal_bench CASCADE");
}

}  // namespace

int main(int argc, char** argv) {
  const int transfers = argc > 1 ? std::atoi(argv[1]) : 10'000;
  const std::filesystem::path folder =
      std::filesystem::path(argc > 2 ? argv[2] : ".") / "journal-bench";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
  const std::string path = (folder / "journal.sqlite").string();
  auto journal = Journal::Open({path}, Journal::Access::kWrite);

  xmodemq::RecordDigests digests;
  const std::string block(128, '7');
  for (int b = 0; b < kBlocks; ++b) digests.Update(block.data(), block.size());
  const std::string prefixes = digests.Prefixes();

  const auto [per_transfer, per_write] =
      Interleaved([&](int i) { Transfer(*journal, i, prefixes); },
                  [&](int i) { DurableWrite((folder / "peer.log").string(), i); });
  int written = kRounds * kEach;
  std::printf("journal, per transfer (row + end, %d-block send): %.2f ms\n", kBlocks, per_transfer);
  std::printf("peer, one durable write (write + fsync):         %.2f ms\n", per_write);
  std::printf("ratio journal / durable write:                   %.2f\n", per_transfer / per_write);
  if (argc > 3) CompareOnPostgresql(argv[3], folder.string(), prefixes, per_transfer);

  // Digesting what goes out is part of a send's cost too.
  const std::string file(kBlocks * 128, 'F');
  auto start = Clock::now();
  for (int i = 0; i < 50; ++i) {
    xmodemq::RecordDigests d;
    d.Update(file.data(), file.size());
  }
  std::printf("digests of a %d-block file (SHA-256 and prefixes): %.2f ms\n", kBlocks,
              Milliseconds(Clock::now() - start) / 50);

  start = Clock::now();
  while (written < transfers) Transfer(*journal, written++, prefixes);
  const double fill = std::chrono::duration<double>(Clock::now() - start).count();
  journal.reset();
  const auto size = std::filesystem::file_size(path);
  // What a send does with a full journal before it dials: open it, settle
  // the rows of dead processes, apply the never-twice rule and reserve the
  // send (released here, as when the call does not go).
  start = Clock::now();
  for (int i = 0; i < 20; ++i) {
    auto opened = Journal::Open({path}, Journal::Access::kWrite);
    opened->MarkDead();
    std::vector<JournalRow> rows = {Row(i), Row(i)};
    rows[0].sha256 = std::string(64, 'b');
    const auto other = opened->ReserveSends(rows, {prefixes, prefixes}, xmodemq::Repeat::kNo);
    if (other[0].Held() || !other[1].Held()) std::abort();
    rows.pop_back();
    if (opened->ReserveSends(rows, {prefixes}, xmodemq::Repeat::kNo)[0].Held()) std::abort();
    opened->Release(rows[0]);
  }
  const double before_dial = Milliseconds(Clock::now() - start) / 20;
  start = Clock::now();
  const auto rows = Journal::Open({path}, Journal::Access::kRead)->List(std::nullopt);
  const double list = Milliseconds(Clock::now() - start);
  std::printf(
      "%d transfers (1 in 100 cut): %.1f MB, %.0f bytes per transfer "
      "(filled in %.0f s)\n",
      written, static_cast<double>(size) / 1e6, static_cast<double>(size) / written, fill);
  std::printf("before dialling, with that journal (open, never-twice look-up): %.2f ms\n",
              before_dial);
  std::printf("reading its %zu rows (journal listing): %.0f ms\n", rows.size(), list);
  std::filesystem::remove_all(folder);
  return 0;
}
