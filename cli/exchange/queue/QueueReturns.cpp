#include "exchange/queue/QueueReturns.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "exchange/Returns.h"
#include "files/HeldFolder.h"
#include "files/Sha256.h"
#include "queue/PgQueue.h"
#include "system/FileErrors.h"
#include "system/Paths.h"

namespace xmodemq {
namespace {

std::string Destination(const std::string& folder) {
  return PgQueue::ThisMachine() + ":" + Absolute(folder);
}

// Writes return `file` to a new private file of `folder`, synced; its name.
std::string WriteReturn(PgQueue& queue, const QueuedReturn& file, const HeldFolder& folder) {
  auto [fd, name] = folder.CreateTemporary();
  queue.FetchReturn(file, fd.Get());
  if (::fsync(fd.Get()) != 0) {
    const int error = errno;
    ::unlinkat(folder.Fd(), name.c_str(), 0);
    throw FileFailure(FileError("écrire", folder.PathOf(name), error));
  }
  return name;
}

// NAME or NAME.N of `folder` that holds `sha256`, or the first free one.
std::pair<std::string, bool> PlaceOf(const HeldFolder& folder, const std::string& name,
                                     const std::string& sha256) {
  for (int n = 0;; ++n) {
    const std::string candidate = n == 0 ? name : name + "." + std::to_string(n);
    const auto st = folder.Look(candidate);
    if (!st) return {candidate, false};
    if (!S_ISREG(st->st_mode)) continue;
    UniqueFd fd(::openat(folder.Fd(), candidate.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (fd && Sha256OfDescriptor(fd.Get()) == sha256) return {candidate, true};
  }
}

}  // namespace

void DeliverReturns(PgQueue& queue, const std::string& account, const std::string& folder,
                    ExchangeReport& report) {
  const HeldFolder held = HeldFolder::Open(folder);
  const std::string destination = Destination(folder);
  for (const QueuedReturn& file : queue.Undelivered(account, destination)) {
    const auto [place, there] = PlaceOf(held, file.name, file.sha256);
    if (!there) {
      const std::string written = WriteReturn(queue, file, held);
      if (!held.MoveTo(written, held, place, false) || !held.Sync()) {
        const int error = errno;
        ::unlinkat(held.Fd(), written.c_str(), 0);
        throw FileFailure(FileError("déposer", held.PathOf(place), error));
      }
      ++report.received;
      report.last_received = held.PathOf(place);
    } else {
      ++report.already_received;
    }
    queue.Delivered(file.id, destination);
  }
}

void DeliverReturns(PgQueue& queue, const std::string& account, const Spool& spool,
                    ExchangeReport& report) {
  const std::string destination = Destination(spool.Root() + "/" + Spool::kInbox);
  const HeldFolder incoming = HeldFolder::Open(spool.Root() + "/" + Spool::kIncoming);
  const Returns returns(spool, nullptr, account);
  for (const QueuedReturn& file : queue.Undelivered(account, destination)) {
    const std::string written = WriteReturn(queue, file, incoming);
    if (!incoming.MoveTo(written, incoming, file.name, true)) {
      const int error = errno;
      ::unlinkat(incoming.Fd(), written.c_str(), 0);
      throw FileFailure(FileError("déposer", incoming.PathOf(file.name), error));
    }
    // Already in inbox/ (a run that died before the note): discarded.
    returns.File(file.name, report);
    queue.Delivered(file.id, destination);
  }
}

}  // namespace xmodemq
