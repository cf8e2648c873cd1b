#include "files/HeldFolder.h"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>
#include <vector>

#include "system/FileErrors.h"

namespace xmodemq {

namespace {

int OpenAt(int folder, const std::string& name, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::openat(folder, name.c_str(), flags | O_CLOEXEC | O_NOCTTY, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

HeldFolder HeldFolder::Open(const std::string& path) {
  UniqueFd fd(OpenAt(AT_FDCWD, path, O_RDONLY | O_DIRECTORY));
  if (!fd) {
    if (errno == ENOENT) throw Refusal("le dossier " + path + " n'existe pas");
    if (errno == ENOTDIR) throw Refusal(path + " n'est pas un dossier");
    throw Refusal(FileError("ouvrir le dossier", path, errno));
  }
  return HeldFolder(std::move(fd), path);
}

std::optional<HeldFolder> HeldFolder::OpenChild(const std::string& name) const {
  UniqueFd fd(OpenAt(Fd(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
  if (!fd) return std::nullopt;
  return HeldFolder(std::move(fd), PathOf(name));
}

std::string HeldFolder::PathOf(const std::string& name) const {
  return path_ == "/" ? "/" + name : path_ + "/" + name;
}

std::optional<struct stat> HeldFolder::Look(const std::string& name) const {
  struct stat st {};
  if (::fstatat(Fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return st;
  if (errno == ENOENT) return std::nullopt;
  throw Refusal(FileError("lire", PathOf(name), errno));
}

UniqueFd HeldFolder::CreatePrivate(const std::string& name) const {
  UniqueFd fd(OpenAt(Fd(), name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600));
  // The umask may have taken more away than the group's and others' bits.
  if (fd && ::fchmod(fd.Get(), 0600) != 0) {
    const int error = errno;
    ::unlinkat(Fd(), name.c_str(), 0);
    fd.Reset();
    errno = error;
  }
  return fd;
}

UniqueFd HeldFolder::OpenPrivate(const std::string& name, int flags, std::string& why) const {
  why.clear();
  UniqueFd fd(OpenAt(Fd(), name, O_RDWR | O_NOFOLLOW | O_NONBLOCK | flags, 0600));
  if (!fd) {
    if (errno == ELOOP) why = "est un lien symbolique";
    return fd;
  }
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0) return {};
  if (!S_ISREG(st.st_mode))
    why = "est " + KindOf(st) + ", pas un fichier ordinaire";
  else if (const auto not_private = NotPrivate(st))
    why = *not_private;
  if (!why.empty()) fd.Reset();
  return fd;
}

std::pair<UniqueFd, std::string> HeldFolder::CreateTemporary() const {
  static constexpr char kLetters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device seed;
  std::mt19937 random(seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = ".xmodemq-";
    for (int i = 0; i < 6; ++i) name.push_back(kLetters[random() % (sizeof kLetters - 1)]);
    UniqueFd fd = CreatePrivate(name);
    if (fd) return {std::move(fd), name};
    if (errno != EEXIST) break;
  }
  throw FileFailure(FileError("créer un fichier temporaire dans", path_, errno));
}

bool HeldFolder::MoveTo(const std::string& from, const HeldFolder& destination,
                        const std::string& to, bool replace) const {
  if (replace) return ::renameat(Fd(), from.c_str(), destination.Fd(), to.c_str()) == 0;
  if (::renameat2(Fd(), from.c_str(), destination.Fd(), to.c_str(), RENAME_NOREPLACE) == 0)
    return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without the flag: a new link never replaces a name either.
  if (::linkat(Fd(), from.c_str(), destination.Fd(), to.c_str(), 0) != 0) return false;
  ::unlinkat(Fd(), from.c_str(), 0);
  return true;
}

bool HeldFolder::Sync() const {
  // Some file systems cannot sync a folder; what they hold is then as safe as
  // it gets.
  return ::fsync(Fd()) == 0 || errno == EINVAL || errno == EROFS;
}

std::optional<std::string> NotPrivate(const struct stat& st, Owner owner) {
  if (owner == Owner::kCallerOrRoot && st.st_uid != ::geteuid() && st.st_uid != 0)
    return "appartient à " + UserName(st.st_uid) + ", pas à vous";
  if (owner == Owner::kCaller && st.st_uid != ::geteuid())
    return "appartient à " + UserName(st.st_uid) + ", pas à vous (" + UserName(::geteuid()) + ")";
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return std::string("est modifiable par d'autres utilisateurs (mode ") + mode + ")";
  }
  if (!S_ISDIR(st.st_mode) && st.st_nlink > 1) return "a d'autres noms (liens physiques)";
  return std::nullopt;
}

std::string TakeOverMode(int fd, const struct stat& old, const std::string& target) {
  // Whatever the mode of another user's file, or of one that others could
  // write, says, it was not the caller's choice: the new file stays private.
  if (old.st_uid != ::geteuid() || (old.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    if ((old.st_mode & 0077) == 0) return {};
    return target + " " + NotPrivate(old).value_or("") +
           " : le fichier qui le remplace n'en prend pas les droits, il est privé (0600)";
  }
  if (::fchmod(fd, old.st_mode & 0777) != 0) throw FileFailure(FileError("écrire", target, errno));
  return {};
}

std::string KindOf(const struct stat& st) {
  if (S_ISLNK(st.st_mode)) return "un lien symbolique";
  if (S_ISFIFO(st.st_mode)) return "un tube nommé (FIFO)";
  if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return "un périphérique";
  if (S_ISSOCK(st.st_mode)) return "une socket";
  if (S_ISDIR(st.st_mode)) return "un dossier";
  return "un fichier ordinaire";
}

std::string UserName(uid_t uid) {
  std::vector<char> buffer(4096);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
    return found->pw_name;
  return "uid " + std::to_string(uid);
}

}  // namespace xmodemq
