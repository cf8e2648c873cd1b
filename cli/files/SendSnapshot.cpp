#include "files/SendSnapshot.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <string_view>
#include <vector>

#include "system/FileErrors.h"
#include "system/Paths.h"
#include "system/Records.h"
#include "system/WriteAll.h"
#include "terminal/Text.h"

namespace xmodemq {

namespace {

bool SameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

CheckedFile CheckSendFile(const std::string& path, bool pad, PadFrom from) {
  CheckedFile file;
  file.path = path;
  // Opening a FIFO must not wait for a writer: it is refused below.
  file.fd = UniqueFd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!file.fd) {
    if (errno == ENOENT) throw Refusal(path + " n'existe pas : rien n'est envoyé");
    throw Refusal(FileError("lire", path, errno));
  }
  struct stat st {};
  if (::fstat(file.fd.Get(), &st) != 0) throw Refusal(FileError("lire", path, errno));
  if (S_ISDIR(st.st_mode)) throw Refusal(path + " est un dossier, pas un fichier");
  if (!S_ISREG(st.st_mode)) throw Refusal(path + " n'est pas un fichier ordinaire");
  file.size = st.st_size;
  file.changed = st.st_mtim;
  if (file.size == 0) throw Refusal(path + " est vide : rien à envoyer");
  if (file.size % kRecord != 0 && !pad) {
    const int64_t padded = (file.size / kRecord + 1) * kRecord;
    const int64_t left = file.size % kRecord;
    throw Refusal(
        path + " fait " + GroupDigits(file.size) + (file.size > 1 ? " octets" : " octet") +
        ", pas un nombre entier d'enregistrements de " + RecordBytesText() + " : " +
        (left > 1 ? "ses " + std::to_string(left) + " derniers octets ne partiraient pas"
                  : "son dernier octet ne partirait pas") +
        (from == PadFrom::kOption ? ". --pad" : ". La clé pad = true du profil") +
        " envoie une copie complétée par des espaces jusqu'à " + GroupDigits(padded) + " octets");
  }
  return file;
}

RecordDigests DigestSendFile(const CheckedFile& file) {
  RecordDigests digests;
  std::vector<char> buffer(64 * 1024);
  int64_t read = 0;
  for (;;) {
    const ssize_t n =
        ::pread(file.fd.Get(), buffer.data(), buffer.size(), static_cast<off_t>(read));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw FileFailure(FileError("lire", file.path, errno));
    if (n == 0) break;
    digests.Update(buffer.data(), static_cast<std::size_t>(n));
    read += n;
  }
  const std::string spaces(static_cast<std::size_t>((kRecord - read % kRecord) % kRecord), ' ');
  digests.Update(spaces.data(), spaces.size());
  return digests;
}

namespace {

// Where sends make their copies.
std::string SnapshotParent() {
  const char* tmp = std::getenv("TMPDIR");
  return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

constexpr std::string_view kSnapshotPrefix = "xmodemq-";
// Seconds after which a snapshot folder that no process holds is stale.
constexpr std::time_t kStaleAfter = 60;

}  // namespace

void SendSnapshot::RemoveStale() {
  const UniqueFd parent(::open(SnapshotParent().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  DIR* entries = parent ? ::fdopendir(::fcntl(parent.Get(), F_DUPFD_CLOEXEC, 0)) : nullptr;
  if (entries == nullptr) return;
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(entries)) {
    const std::string_view name = entry->d_name;
    // mkdtemp()'s six characters, nothing else: not the simulator's nor the
    // demo's folders.
    if (name.size() == kSnapshotPrefix.size() + 6 &&
        name.substr(0, kSnapshotPrefix.size()) == kSnapshotPrefix)
      names.emplace_back(name);
  }
  ::closedir(entries);
  for (const std::string& name : names) {
    const UniqueFd folder(
        ::openat(parent.Get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    // Not one made a moment ago either: its send may not have locked it yet.
    if (!folder || ::fstat(folder.Get(), &st) != 0 || st.st_uid != ::geteuid() ||
        (st.st_mode & 07777) != 0700 || st.st_mtime > std::time(nullptr) - kStaleAfter ||
        ::flock(folder.Get(), LOCK_EX | LOCK_NB) != 0)
      continue;
    // No process holds it: what is in it is a copy nobody will send.
    if (DIR* inside = ::fdopendir(::fcntl(folder.Get(), F_DUPFD_CLOEXEC, 0))) {
      std::vector<std::string> files;
      while (const dirent* entry = ::readdir(inside))
        if (entry->d_name[0] != '.') files.emplace_back(entry->d_name);
      ::closedir(inside);
      for (const std::string& file : files) ::unlinkat(folder.Get(), file.c_str(), 0);
    }
    ::unlinkat(parent.Get(), name.c_str(), AT_REMOVEDIR);
  }
}

SendSnapshot::SendSnapshot(const CheckedFile& file, const std::string& sha256,
                           const std::function<bool()>& stop) {
  // Locked as soon as made; another send's RemoveStale() may come in between
  // and take it away, and then it is made again.
  for (int attempt = 0; !folder_; ++attempt) {
    std::string pattern = SnapshotParent() + "/" + std::string(kSnapshotPrefix) + "XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
      throw FileFailure(FileError("créer le dossier temporaire", pattern, errno));
    try {
      folder_ = HeldFolder::Open(pattern);
    } catch (const Refusal& e) {
      throw FileFailure(e.what());
    }
    struct stat held {};
    struct stat named {};
    if (::flock(folder_->Fd(), LOCK_EX | LOCK_NB) != 0 || ::fstat(folder_->Fd(), &held) != 0 ||
        ::stat(pattern.c_str(), &named) != 0 || held.st_ino != named.st_ino) {
      folder_.reset();
      if (attempt == 10)
        throw FileFailure(FileError("créer le dossier temporaire", pattern, EBUSY));
    }
  }
  name_ = NameOf(file.path);
  path_ = folder_->PathOf(name_);
  try {
    UniqueFd out = folder_->CreatePrivate(name_);
    if (!out) throw FileFailure(FileError("créer", path_, errno));
    Fill(file, sha256, out.Get(), stop);
  } catch (...) {
    Remove();
    throw;
  }
}

void SendSnapshot::Fill(const CheckedFile& file, const std::string& sha256, int out,
                        const std::function<bool()>& stop) {
  Sha256 copy_digest;
  std::vector<char> buffer(64 * 1024);
  int64_t copied = 0;
  for (;;) {
    if (stop && stop()) throw Interruption("copie de " + file.path + " interrompue");
    const ssize_t n =
        ::pread(file.fd.Get(), buffer.data(), buffer.size(), static_cast<off_t>(copied));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw FileFailure(FileError("lire", file.path, errno));
    if (n == 0) break;
    if (const int err = WriteAll(out, {buffer.data(), static_cast<std::size_t>(n)}))
      throw FileFailure(FileError("écrire", path_, err));
    copy_digest.Update(buffer.data(), static_cast<std::size_t>(n));
    copied += n;
  }
  const std::string spaces(static_cast<std::size_t>((kRecord - copied % kRecord) % kRecord), ' ');
  copy_digest.Update(spaces.data(), spaces.size());
  // The file that was checked and digested, as it was then: a change since,
  // or during the copy, is refused rather than sent in a state nobody looked
  // at.
  struct stat st {};
  if (copied != file.size || ::fstat(file.fd.Get(), &st) != 0 || st.st_size != file.size ||
      !SameTime(st.st_mtim, file.changed) || Hex(copy_digest.Peek()) != sha256)
    throw Refusal(file.path +
                  " a changé depuis sa vérification : rien n'est envoyé. Relancez la commande "
                  "une fois le fichier complet");
  if (const int err = WriteAll(out, spaces)) throw FileFailure(FileError("écrire", path_, err));
}

SendSnapshot::~SendSnapshot() {
  Remove();
}

void SendSnapshot::Remove() {
  if (!folder_) return;
  ::unlinkat(folder_->Fd(), name_.c_str(), 0);
  ::rmdir(folder_->Path().c_str());
  folder_.reset();
}

}  // namespace xmodemq
