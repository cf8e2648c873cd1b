// The journal's cost per transfer and its size.
//
// Each transfer writes its row as the command does: a row when it starts
// (with a send's prefix digests, 16 bytes per block) and its end, each a
// transaction synced to disk. The peer, measured in the same run and folder,
// is the least a durable record costs: a small file written, fsync'ed and
// closed. Then the journal is filled to `transfers` sends of 400-block files
// under distinct names, one in 100 cut (its digests kept), and its size
// read once checkpointed, as the command leaves it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "journal/Journal.h"
#include "system/ProcessIdentity.h"
#include "files/Sha256.h"
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

// One send's row written and ended, as the command writes it.
void Transfer(Journal& journal, int i, const std::string& prefixes) {
  JournalRow row = Row(i);
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

}  // namespace

int main(int argc, char** argv) {
  const int transfers = argc > 1 ? std::atoi(argv[1]) : 10'000;
  const std::filesystem::path folder =
      std::filesystem::path(argc > 2 ? argv[2] : ".") / "journal-bench";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
  const std::string path = (folder / "journal.sqlite").string();
  auto journal = Journal::Open(path, true, false);

  xmodemq::RecordDigests digests;
  const std::string block(128, '7');
  for (int b = 0; b < kBlocks; ++b) digests.Update(block.data(), block.size());
  const std::string prefixes = digests.Prefixes();

  // Interleaved rounds, so that both see the same disk.
  constexpr int kRounds = 5, kEach = 40;
  Clock::duration journal_time{}, peer_time{};
  int written = 0;
  for (int round = 0; round < kRounds; ++round) {
    auto start = Clock::now();
    for (int i = 0; i < kEach; ++i) Transfer(*journal, written++, prefixes);
    journal_time += Clock::now() - start;
    start = Clock::now();
    for (int i = 0; i < kEach; ++i) DurableWrite((folder / "peer.log").string(), i);
    peer_time += Clock::now() - start;
  }
  const double per_transfer = Milliseconds(journal_time) / written;
  const double per_write = Milliseconds(peer_time) / (kRounds * kEach);
  std::printf("journal, per transfer (row + end, %d-block send): %.2f ms\n", kBlocks, per_transfer);
  std::printf("peer, one durable write (write + fsync):         %.2f ms\n", per_write);
  std::printf("ratio journal / durable write:                   %.2f\n", per_transfer / per_write);

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
  // What a send does with a full journal before it dials: open it, look for
  // the same file sent before.
  start = Clock::now();
  for (int i = 0; i < 20; ++i) {
    auto opened = Journal::Open(path, true, false);
    opened->MarkInterrupted();
    JournalRow other = Row(i);
    other.sha256 = std::string(64, 'b');
    if (opened->FindSent(other) || !opened->FindSent(Row(i))) std::abort();
  }
  const double before_dial = Milliseconds(Clock::now() - start) / 20;
  start = Clock::now();
  const auto rows = Journal::Open(path, false, false)->List(std::nullopt);
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
