#include "exchange/Spool.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "system/FileErrors.h"
#include "system/UniqueFd.h"
#include "system/WriteAll.h"

namespace xmodemq {
namespace {

constexpr const char* kReason = ".raison";

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// How a folder of the spool may be shared with the office's staff.
enum class Sharing {
  kPrivate,
  // The staff, members of the spool's group, drop files there: set-group-ID
  // (what they drop belongs to that group) and sticky (none of them can
  // remove or rename another's file; the account, owning the folder, can).
  kDropBox,
  // The staff read and remove the returns filed there: set-group-ID.
  kReadBox,
};

// Why `st`, a folder of the spool `spool`, is not safe, or nothing. A folder
// is the spool owner's alone, or (outbox/ and inbox/ only) shared with the
// spool's group as `sharing` says and never writable by others. Decided
// here: the group must be the spool folder's own, which the administrator
// chose when making the layout; any other group would let strangers in.
// The owner is the caller, or another user whose spool the caller reads
// through its group.
std::optional<std::string> Unsafe(const struct stat& st, Sharing sharing,
                                  const struct stat& spool) {
  std::optional<std::string> why =
      spool.st_uid == ::geteuid() ? NotPrivate(st) : NotSharedWithCaller(st, spool.st_uid);
  if (!why || sharing == Sharing::kPrivate || st.st_uid != spool.st_uid ||
      (st.st_mode & S_IWOTH) != 0)
    return why;
  const bool sticky = sharing == Sharing::kReadBox || (st.st_mode & S_ISVTX) != 0;
  if (st.st_gid == spool.st_gid && (st.st_mode & S_ISGID) != 0 && sticky) return std::nullopt;
  return *why + (sharing == Sharing::kDropBox
                     ? " ; partagé avec le groupe du spool, il doit en avoir le groupe et les "
                       "bits set-group-ID et sticky (mode 3770)"
                     : " ; partagé avec le groupe du spool, il doit en avoir le groupe et le bit "
                       "set-group-ID (mode 2770)");
}

constexpr const char* kNotPrepared =
    " : aucun échange n'a encore préparé ce spool (le prochain le créera)";

// A folder of the spool, made when missing (0700), refused when not safe.
HeldFolder Child(const HeldFolder& parent, const std::string& name, bool read_only, Sharing sharing,
                 const struct stat& spool, struct stat& st) {
  if (!read_only && ::mkdirat(parent.Fd(), name.c_str(), 0700) != 0 && errno != EEXIST)
    throw Refusal(FileError("créer le dossier", parent.PathOf(name), errno));
  std::optional<HeldFolder> child = parent.OpenChild(name);
  if (!child) {
    if (errno == ENOENT)
      throw Refusal("le dossier " + parent.PathOf(name) + " n'existe pas" +
                    (read_only ? kNotPrepared : ""));
    throw Refusal(
        FileError("ouvrir le dossier", parent.PathOf(name), errno) +
        (errno == EACCES ? "" : " (un lien symbolique n'est jamais suivi dans le spool)"));
  }
  if (::fstat(child->Fd(), &st) != 0) throw Refusal(FileError("lire", child->Path(), errno));
  if (const auto why = Unsafe(st, sharing, spool))
    throw Refusal("le dossier " + child->Path() + " n'est pas sûr : " + *why);
  return std::move(*child);
}

HeldFolder Child(const HeldFolder& parent, const std::string& name, bool read_only,
                 const struct stat& spool) {
  struct stat st {};
  return Child(parent, name, read_only, Sharing::kPrivate, spool, st);
}

bool Older(const SpoolEntry& a, const SpoolEntry& b) {
  if (a.changed.tv_sec != b.changed.tv_sec) return a.changed.tv_sec < b.changed.tv_sec;
  if (a.changed.tv_nsec != b.changed.tv_nsec) return a.changed.tv_nsec < b.changed.tv_nsec;
  return a.name < b.name;
}

// The entries of an open folder but its folders, never through a link;
// with `others` what is not a regular file too.
std::vector<SpoolEntry> List(const HeldFolder& folder, bool others = false) {
  std::vector<SpoolEntry> entries;
  const int fd = ::openat(folder.Fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) throw FileFailure(FileError("lire le dossier", folder.Path(), errno));
  DIR* dir = ::fdopendir(fd);
  if (!dir) {
    ::close(fd);
    throw FileFailure(FileError("lire le dossier", folder.Path(), errno));
  }
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    if (::fstatat(folder.Fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode) || (!S_ISREG(st.st_mode) && !others)) continue;
    entries.push_back({name, st.st_size, st.st_mtim, S_ISREG(st.st_mode) ? "" : KindOf(st)});
  }
  ::closedir(dir);
  std::sort(entries.begin(), entries.end(),
            [](const SpoolEntry& a, const SpoolEntry& b) { return a.name < b.name; });
  return entries;
}

}  // namespace

bool TemporaryName(const std::string& name) {
  return name.empty() || name.front() == '.' || EndsWith(name, ".tmp") || EndsWith(name, ".part");
}

Spool::Spool(HeldFolder root, HeldFolder outbox, std::optional<HeldFolder> sent, HeldFolder held,
             HeldFolder inbox, std::optional<HeldFolder> incoming)
    : root_(std::move(root)),
      outbox_(std::move(outbox)),
      sent_(std::move(sent)),
      held_(std::move(held)),
      inbox_(std::move(inbox)),
      incoming_(std::move(incoming)) {}

Spool Spool::Open(const std::string& root, bool read_only) {
  if (!read_only && ::mkdir(root.c_str(), 0700) != 0 && errno != EEXIST)
    throw Refusal(FileError("créer le dossier", root, errno));
  if (read_only && ::access(root.c_str(), R_OK | X_OK) != 0) {
    if (errno == ENOENT) throw Refusal("le dossier " + root + " n'existe pas" + kNotPrepared);
    if (errno == EACCES)
      throw Refusal("le spool " + root +
                    " ne vous est pas lisible (accès refusé) : l'état des échanges du service se "
                    "lit en membre du groupe de son spool (xmodemq, pour le paquet), ou en root");
  }
  HeldFolder folder = HeldFolder::Open(root);
  struct stat st {};
  if (::fstat(folder.Fd(), &st) != 0) throw Refusal(FileError("lire", root, errno));
  // Another user's spool is only read (exchange status), through its group:
  // the service's own layout, every folder of the spool's owner, none
  // writable by others; sent/ and .entrant/, the service's alone, are not
  // opened.
  const bool reader = read_only && st.st_uid != ::geteuid();
  if (reader) {
    if (const auto why = NotSharedWithCaller(st, st.st_uid))
      throw Refusal("le spool " + root + " " + *why);
  } else if (const auto why = NotPrivate(st)) {
    throw Refusal("le spool " + root + " n'est pas sûr : " + *why);
  }
  // A spool that its group may pass through is shared with it: what the
  // service keeps there for `exchange status` (held/ and the reasons in it,
  // the state, the lock) is the group's to read.
  const bool shared = (st.st_mode & (S_IRGRP | S_IXGRP)) == (S_IRGRP | S_IXGRP);
  struct stat box {};
  HeldFolder outbox = Child(folder, kOutbox, read_only, Sharing::kDropBox, st, box);
  std::optional<HeldFolder> sent;
  if (!reader) sent = Child(folder, kSent, read_only, st);
  struct stat kept {};
  HeldFolder held = Child(folder, kHeld, read_only, Sharing::kPrivate, st, kept);
  HeldFolder inbox = Child(folder, kInbox, read_only, Sharing::kReadBox, st, box);
  std::optional<HeldFolder> incoming;
  if (!reader) incoming = Child(folder, kIncoming, read_only, st);
  // Every folder checked: held/, made 0700, opens to the group of a shared
  // spool (2750).
  if (!read_only && shared && (kept.st_mode & 07777) == 0700 && ::fchmod(held.Fd(), 02750) != 0)
    throw Refusal(FileError("ouvrir au groupe du spool le dossier", held.Path(), errno));
  Spool spool(std::move(folder), std::move(outbox), std::move(sent), std::move(held),
              std::move(inbox), std::move(incoming));
  // An inbox the group may read gets returns that it may read.
  if ((box.st_mode & S_IRGRP) != 0) spool.returns_group_ = box.st_gid;
  spool.shared_ = shared;
  return spool;
}

std::string Spool::OutboxPath(const std::string& name) const {
  return outbox_.PathOf(name);
}

std::string Spool::IncomingPath(const std::string& name) const {
  return incoming_.value().PathOf(name);
}

OutboxListing Spool::Outbox(std::chrono::seconds settle,
                            std::chrono::system_clock::time_point now) const {
  OutboxListing listing;
  const auto now_s = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch());
  for (SpoolEntry& entry : List(outbox_, true)) {
    if (TemporaryName(entry.name)) continue;
    // A file changed in the future is a clock's mistake: it waits too.
    const long long age = now_s.count() - entry.changed.tv_sec;
    (age < settle.count() ? listing.waiting : listing.complete).push_back(std::move(entry));
  }
  std::sort(listing.complete.begin(), listing.complete.end(), Older);
  std::sort(listing.waiting.begin(), listing.waiting.end(), Older);
  return listing;
}

std::vector<SpoolEntry> Spool::Files(const std::string& folder) const {
  if (folder == kOutbox) return List(outbox_);
  if (folder == kInbox) return List(inbox_);
  if (folder == kIncoming) return List(incoming_.value());
  if (folder == kHeld) return List(held_);
  return List(sent_.value());
}

std::vector<std::pair<SpoolEntry, std::string>> Spool::Held() const {
  std::vector<std::pair<SpoolEntry, std::string>> held;
  for (SpoolEntry& entry : List(held_, true)) {
    if (EndsWith(entry.name, kReason)) continue;
    std::string reason;
    UniqueFd fd(
        ::openat(held_.Fd(), (entry.name + kReason).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    char buffer[4096];
    ssize_t got = 0;
    while (fd && (got = ::read(fd.Get(), buffer, sizeof buffer)) > 0 && reason.size() < 16384)
      reason.append(buffer, static_cast<std::size_t>(got));
    while (!reason.empty() && reason.back() == '\n') reason.pop_back();
    held.emplace_back(std::move(entry), std::move(reason));
  }
  return held;
}

std::string Spool::MoveFree(const HeldFolder& source, const std::string& from,
                            const HeldFolder& destination, const std::string& name) const {
  for (int n = 0; n < 10'000; ++n) {
    const std::string to = n == 0 ? name : name + "." + std::to_string(n);
    // A name whose .raison would stand beside another is skipped too.
    if (&destination == &held_ && destination.Look(to + kReason)) continue;
    if (source.MoveTo(from, destination, to, false)) {
      if (!destination.Sync() || !source.Sync())
        throw FileFailure(FileError("mettre sur disque le dossier", destination.Path(), errno));
      return to;
    }
    if (errno != EEXIST)
      throw FileFailure(FileError("déplacer", source.PathOf(from), errno) + " vers " +
                        destination.Path());
  }
  throw FileFailure("aucun nom libre pour " + name + " dans " + destination.Path());
}

std::string Spool::Hold(const std::string& name, const std::string& reason) const {
  // The reason goes first: a held file never stands without it.
  for (int n = 0; n < 10'000; ++n) {
    const std::string to = n == 0 ? name : name + "." + std::to_string(n);
    if (held_.Look(to) || held_.Look(to + kReason)) continue;
    UniqueFd fd = held_.CreatePrivate(to + kReason);
    if (!fd) {
      if (errno == EEXIST) continue;
      throw FileFailure(FileError("créer", held_.PathOf(to + kReason), errno));
    }
    if (::fchmod(fd.Get(), StateMode()) != 0)
      throw FileFailure(FileError("écrire", held_.PathOf(to + kReason), errno));
    const std::string text = reason + "\n";
    if (WriteAll(fd.Get(), text) != 0 || ::fsync(fd.Get()) != 0)
      throw FileFailure(FileError("écrire", held_.PathOf(to + kReason), errno));
    if (!outbox_.MoveTo(name, held_, to, false)) {
      const int error = errno;
      ::unlinkat(held_.Fd(), (to + kReason).c_str(), 0);
      if (error == EEXIST) continue;
      throw FileFailure(FileError("déplacer", outbox_.PathOf(name), error) + " vers " +
                        held_.Path());
    }
    if (!held_.Sync() || !outbox_.Sync())
      throw FileFailure(FileError("mettre sur disque le dossier", held_.Path(), errno));
    return held_.PathOf(to);
  }
  throw FileFailure("aucun nom libre pour " + name + " dans " + held_.Path());
}

std::string Spool::MoveToDay(const HeldFolder& parent, const std::string& name,
                             const std::string& day) const {
  if (::mkdirat(parent.Fd(), day.c_str(), 0700) != 0 && errno != EEXIST)
    throw FileFailure(FileError("créer le dossier", parent.PathOf(day), errno));
  std::optional<HeldFolder> folder = parent.OpenChild(day);
  if (!folder) throw FileFailure(FileError("ouvrir le dossier", parent.PathOf(day), errno));
  if (!parent.Sync()) throw FileFailure(FileError("mettre sur disque", parent.Path(), errno));
  return folder->PathOf(MoveFree(outbox_, name, *folder, name));
}

std::string Spool::MoveToSent(const std::string& name, const std::string& day) const {
  return MoveToDay(sent_.value(), name, day);
}

std::string Spool::MoveToQueued(const std::string& name, const std::string& day) const {
  struct stat spool {};
  if (::fstat(root_.Fd(), &spool) != 0) throw FileFailure(FileError("lire", Root(), errno));
  return MoveToDay(Child(root_, kQueued, false, spool), name, day);
}

std::optional<std::int64_t> Spool::QueuedOn(const std::string& day) const {
  const std::optional<HeldFolder> queued = root_.OpenChild(kQueued);
  std::optional<HeldFolder> folder;
  if (queued) folder = queued->OpenChild(day);
  if (!folder) return std::nullopt;
  return static_cast<std::int64_t>(List(*folder).size());
}

std::string Spool::FileInInbox(const std::string& name) const {
  // The one exception to private files: in an inbox shared with the spool's
  // group, a return is 0640 and the group's, so that the billing software
  // run by the staff reads it. Set before the move: once in inbox/, the file
  // is never touched again.
  const HeldFolder& incoming = incoming_.value();
  if (returns_group_) {
    if (::fchownat(incoming.Fd(), name.c_str(), static_cast<uid_t>(-1), *returns_group_,
                   AT_SYMLINK_NOFOLLOW) != 0 ||
        ::fchmodat(incoming.Fd(), name.c_str(), 0640, 0) != 0)
      throw FileFailure(FileError("donner au groupe du spool", incoming.PathOf(name), errno));
  }
  return inbox_.PathOf(MoveFree(incoming, name, inbox_, name));
}

void Spool::Discard(const std::string& name) const {
  const HeldFolder& incoming = incoming_.value();
  if (::unlinkat(incoming.Fd(), name.c_str(), 0) != 0 && errno != ENOENT)
    throw FileFailure(FileError("retirer", incoming.PathOf(name), errno));
  if (!incoming.Sync()) throw FileFailure(FileError("mettre sur disque", incoming.Path(), errno));
}

}  // namespace xmodemq
