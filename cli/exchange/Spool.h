#pragma once

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "files/GroupReader.h"
#include "files/HeldFolder.h"

namespace xmodemq {

// A file of one of the spool's folders, as a listing found it.
struct SpoolEntry {
  std::string name;
  std::int64_t size = 0;
  struct timespec changed {};
  // Not a regular file: what it is instead ("un lien symbolique"...), never
  // followed nor opened.
  std::string other;
};

// What the outbox holds now: the files complete and settled (oldest first;
// a link, a FIFO or a device among them, to be held),
// and those still being written (a name the billing software writes under,
// or changed less than `settle` ago), which wait for a later run.
struct OutboxListing {
  std::vector<SpoolEntry> complete;
  std::vector<SpoolEntry> waiting;
};

// The spool folder of one account: outbox/ (what the billing software drops
// to be sent), sent/YYYY-MM-DD/ (what went, by the day it went), on a
// machine that feeds the queue of several machines queued/YYYY-MM-DD/ (what
// went into the queue, by the day it did: made when first needed), held/ (what
// cannot go as it is, each with NAME.raison beside it), inbox/ (the
// server's returns). Every folder is the user's alone (0700) and used
// through its descriptor, but outbox/ (3770) and inbox/ (2770) may be shared
// with the spool folder's group, the office's staff; returns are then 0640; nothing is ever
// deleted: files move, and a move never replaces a file (NAME, NAME.1, NAME.2...).
class Spool {
 public:
  static constexpr const char* kOutbox = "outbox";
  static constexpr const char* kSent = "sent";
  static constexpr const char* kQueued = "queued";
  static constexpr const char* kHeld = "held";
  static constexpr const char* kInbox = "inbox";
  // Where the returns are received before they are filed in inbox/: the
  // receive asks the server for the file's own name, and the partial
  // folder of a cut receive is there.
  static constexpr const char* kIncoming = ".entrant";

  // Opens the spool at `root`, creating what is missing (0700) unless
  // `read_only`. Refuses a folder that is not the caller's alone, or shared
  // otherwise than as said above. `read_only`, the spool of another user
  // (the service's) is read by a member of its group, as NotSharedWithCaller
  // says, without sent/ and .entrant/. Throws Refusal.
  static Spool Open(const std::string& root, bool read_only = false);

  // The mode of what the service keeps in the spool for `exchange status`:
  // 0640 in a spool shared with its group (a member reads it), else 0600.
  mode_t StateMode() const { return shared_ ? 0640 : 0600; }

  const std::string& Root() const { return root_.Path(); }
  const HeldFolder& Folder() const { return root_; }
  std::string OutboxPath(const std::string& name) const;
  std::string IncomingPath(const std::string& name) const;

  // The outbox now. `now` is the wall clock's.
  OutboxListing Outbox(std::chrono::seconds settle,
                       std::chrono::system_clock::time_point now) const;
  // The held files (without their .raison) and why each one is held.
  std::vector<std::pair<SpoolEntry, std::string>> Held() const;
  // The regular files of a folder of the spool (the incoming one included),
  // by name.
  std::vector<SpoolEntry> Files(const std::string& folder) const;

  // outbox/NAME → held/NAME (or NAME.1...), `reason` in NAME.raison beside
  // it. Returns the held path. Throws FileFailure.
  std::string Hold(const std::string& name, const std::string& reason) const;
  // outbox/NAME → sent/`day`/NAME (or NAME.1...). Returns the new path.
  // Throws FileFailure.
  std::string MoveToSent(const std::string& name, const std::string& day) const;
  // outbox/NAME → queued/`day`/NAME (or NAME.1...), queued/ made (0700)
  // when missing. Returns the new path. Throws FileFailure, Refusal.
  std::string MoveToQueued(const std::string& name, const std::string& day) const;
  // How many files queued/`day`/ holds; nothing when it cannot be read
  // (missing, or another user's).
  std::optional<std::int64_t> QueuedOn(const std::string& day) const;
  // .entrant/NAME → inbox/NAME (or NAME.1...), never over a file that the
  // billing software may be reading. Returns the new path. Throws
  // FileFailure.
  std::string FileInInbox(const std::string& name) const;
  // Removes .entrant/NAME: a return received already, byte for byte (the
  // journal holds its digest). Throws FileFailure.
  void Discard(const std::string& name) const;

 private:
  Spool(HeldFolder root, HeldFolder outbox, std::optional<HeldFolder> sent, HeldFolder held,
        HeldFolder inbox, std::optional<HeldFolder> incoming);
  // `from` in `source` → `destination`, under `name` or the first free
  // NAME.N; returns the name taken.
  std::string MoveFree(const HeldFolder& source, const std::string& from,
                       const HeldFolder& destination, const std::string& name) const;
  // outbox/NAME → `folder`/`day`/NAME (or NAME.1...).
  std::string MoveToDay(const HeldFolder& folder, const std::string& name,
                        const std::string& day) const;

  HeldFolder root_;
  HeldFolder outbox_;
  // Not opened for a reader of another user's spool.
  std::optional<HeldFolder> sent_;
  HeldFolder held_;
  HeldFolder inbox_;
  std::optional<HeldFolder> incoming_;
  // The group that the returns filed in inbox/ are given to (0640), when
  // inbox/ is shared with it.
  std::optional<gid_t> returns_group_;
  bool shared_ = false;
};

// Whether the billing software may still be writing `name`: a hidden name or
// one ending in .tmp or .part.
bool TemporaryName(const std::string& name);

}  // namespace xmodemq
