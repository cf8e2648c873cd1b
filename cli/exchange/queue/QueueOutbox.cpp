#include "exchange/queue/QueueOutbox.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

#include "exchange/ExchangeLock.h"
#include "exchange/ExchangePlan.h"
#include "exchange/Spool.h"
#include "files/SendSnapshot.h"
#include "queue/PgQueue.h"
#include "schedule/CallSchedule.h"
#include "system/FileErrors.h"
#include "terminal/Timestamps.h"

namespace xmodemq {
namespace {

// Exactly once across a crash: each submission keeps the file's origin,
// this machine, its path in the outbox and the file as it stands there
// (device, inode, size, change time to the nanosecond). A run killed after
// the submission committed and before the file left the outbox finds the
// same origin the next time: the queue says it has it, and the file only
// moves (a move keeps the inode and the time). A new drop under that name
// is another inode or another time: submitted as new. A content the queue
// already has under that name is not submitted again: as the one-machine
// outbox files a repeat of what went in sent/ without a call, it goes to
// queued/ and asks nothing of a person.
std::string Origin(const std::string& path, const CheckedFile& file) {
  struct stat st {};
  if (::fstat(file.fd.Get(), &st) != 0) throw FileFailure(FileError("lire", path, errno));
  return PgQueue::ThisMachine() + ":" + path + ":" + std::to_string(st.st_dev) + ":" +
         std::to_string(st.st_ino) + ":" + std::to_string(st.st_size) + ":" +
         std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
}

}  // namespace

void FeedQueue(PgQueue& queue, const Profile& profile, const EventLog& log,
               ExchangeReport& report) {
  const Spool spool = Spool::Open(profile.spool);
  std::optional<ExchangeLock> lock;
  try {
    lock.emplace(spool.Folder(), profile.path, spool.StateMode());
  } catch (const LockBusy&) {
    return;
  }
  const OutboxPlan plan = PlanOutbox(spool, profile, std::chrono::system_clock::now());
  report.waiting = static_cast<std::int64_t>(plan.waiting);
  const auto hold = [&](const std::string& name, const std::string& reason) {
    spool.Hold(name, reason);
    log.Write({name + " retenu dans held/ : " + reason, 4, name, "held"});
    ++report.held;
  };
  for (const auto& [name, reason] : plan.hold) hold(name, reason);
  std::vector<std::string> names;
  std::vector<CheckedFile> files;
  for (const std::string& name : plan.send) {
    try {
      files.push_back(CheckSendFile(spool.OutboxPath(name), profile.pad, PadFrom::kProfile));
      names.push_back(name);
    } catch (const Refusal& e) {
      hold(name, e.what());
    }
  }
  // One transaction for them all; one that the queue refuses is held, and
  // the others are submitted again, read from their start.
  std::vector<SubmitVerdict> verdicts;
  std::vector<std::string> repeats;
  while (!files.empty()) {
    std::vector<QueueInput> inputs;
    for (std::size_t i = 0; i < files.size(); ++i) {
      if (::lseek(files[i].fd.Get(), 0, SEEK_SET) != 0)
        throw FileFailure(FileError("lire", files[i].path, errno));
      inputs.push_back(
          {names[i], files[i].fd.Get(), files[i].size, Origin(files[i].path, files[i])});
    }
    verdicts = queue.Submit(profile.user, inputs, false);
    bool refused = false;
    for (std::size_t i = files.size(); i-- > 0;) {
      if (verdicts[i].refusal.empty()) continue;
      if (verdicts[i].repeated)
        repeats.push_back(names[i]);
      else
        hold(names[i], "refusé par la file d'attente : " + verdicts[i].refusal);
      names.erase(names.begin() + static_cast<std::ptrdiff_t>(i));
      files.erase(files.begin() + static_cast<std::ptrdiff_t>(i));
      refused = true;
    }
    if (!refused) break;
    verdicts.clear();
  }
  const std::string day = LocalDayOf(WallNow());
  for (std::size_t i = 0; i < names.size(); ++i) {
    spool.MoveToQueued(names[i], day);
    log.Write(
        {names[i] + " déposé dans la file d'attente" +
             (verdicts[i].already ? " (par une exécution interrompue avant de le ranger)" : ""),
         6, names[i], "queued"});
    ++report.queued;
  }
  for (const std::string& name : repeats) {
    spool.MoveToQueued(name, day);
    log.Write({name + " est déjà dans la file d'attente (même nom, même contenu) : rangé dans "
                      "queued/ sans nouveau dépôt",
               6, name, "queued"});
    ++report.queued;
  }
}

}  // namespace xmodemq
