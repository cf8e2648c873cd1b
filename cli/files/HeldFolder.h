#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>
#include <utility>

#include "system/UniqueFd.h"

namespace xmodemq {

// A folder opened once and then used through its descriptor: what is looked
// at, created, renamed and synced in it stays in that folder, even if its path
// is renamed or replaced meanwhile. Names inside it are never followed when
// they are symbolic links.
class HeldFolder {
 public:
  // Opens `path` (symbolic links on the way are followed: the user named it).
  // Throws Refusal when it is missing, not a folder or cannot be opened.
  static HeldFolder Open(const std::string& path);
  // The folder `name` inside this one, never through a symbolic link; nothing
  // when there is none (errno ENOENT) or it cannot be opened (errno set).
  std::optional<HeldFolder> OpenChild(const std::string& name) const;

  int Fd() const { return fd_.Get(); }
  const std::string& Path() const { return path_; }
  // "PATH/name", as messages show it.
  std::string PathOf(const std::string& name) const;

  // What `name` is, a symbolic link as itself; nothing when absent. Throws
  // Refusal when it cannot be looked at.
  std::optional<struct stat> Look(const std::string& name) const;
  // Creates `name` exclusively for reading and writing, mode 0600 whatever
  // the umask, never through a link; an invalid descriptor with errno set.
  UniqueFd CreatePrivate(const std::string& name) const;
  // Opens `name` for reading and writing (`flags` added: O_APPEND, O_CREAT
  // for a new one, mode 0600), never through a link and without waiting on
  // a FIFO, and keeps it only when it is a regular file private to the
  // caller (NotPrivate()). Otherwise an invalid descriptor and either `why`
  // it is not used ("est un lien symbolique", "est un périphérique, pas un
  // fichier ordinaire", NotPrivate()'s text), or, `why` empty, errno (ENOENT:
  // there is none).
  UniqueFd OpenPrivate(const std::string& name, int flags, std::string& why) const;
  // A new private file under a short fresh name (".xmodemq-" and six
  // characters, so that it fits beside a target of any length). Throws
  // FileFailure.
  std::pair<UniqueFd, std::string> CreateTemporary() const;
  // Renames `from` in this folder to `to` in `destination`. Without `replace`
  // an existing `to` is never replaced: false with errno EEXIST. False with
  // errno set on any other failure.
  bool MoveTo(const std::string& from, const HeldFolder& destination, const std::string& to,
              bool replace) const;
  // Puts the folder's entries on disk (after a rename in it). False with errno.
  bool Sync() const;

 private:
  HeldFolder(UniqueFd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}

  UniqueFd fd_;
  std::string path_;
};

// Who may own a folder or file that the command keeps its work in.
enum class Owner {
  kCaller,
  // Root too: a folder such as /var/lib that the administrator made.
  kCallerOrRoot,
};

// The one answer to "is this private": why a folder or file that the command
// keeps its work in cannot be trusted. Another user owns it, others can write
// to it, or (a file) it has other names. Nothing when it is private.
std::optional<std::string> NotPrivate(const struct stat& st, Owner owner = Owner::kCaller);

// The file open on `fd` replaces `target`, which `old` describes: it takes
// the permission bits of `old` (never set-user-id and the like) only when
// `old` was the caller's and others could not write to it; otherwise it
// stays as it is (0600), and the text says why. Throws FileFailure.
std::string TakeOverMode(int fd, const struct stat& old, const std::string& target);

// "un lien symbolique", "un tube nommé (FIFO)", "un périphérique"...: what a
// name that is not a regular file stands for.
std::string KindOf(const struct stat& st);

// "root", "alice", or "uid 1234" when the user has no name.
std::string UserName(uid_t uid);

}  // namespace xmodemq
