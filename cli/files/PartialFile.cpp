#include "files/PartialFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>

#include "record/LineText.h"
#include "system/FileErrors.h"
#include "system/Paths.h"
#include "system/Records.h"
#include "system/ServerNumber.h"
#include "system/WriteAll.h"
#include "terminal/Text.h"
#include "terminal/Timestamps.h"

namespace xmodemq {

namespace {

// The origin's lines, "key : value".
std::map<std::string, std::string> ParseOrigin(const std::string& text) {
  std::map<std::string, std::string> fields;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    if (const auto colon = line.find(" : "); colon != std::string::npos)
      fields[line.substr(0, colon)] = line.substr(colon + 3);
    start = end + 1;
  }
  return fields;
}

// The private folder `name` in `parent`, made 0700 when missing. Throws
// Refusal when it is not a folder or not the user's alone.
HeldFolder PrivateFolder(const HeldFolder& parent, const char* name) {
  const bool made = ::mkdirat(parent.Fd(), name, 0700) == 0;
  if (!made && errno != EEXIST)
    throw Refusal(FileError("écrire dans le dossier", parent.Path(), errno));
  auto folder = parent.OpenChild(name);
  if (!folder) {
    if (errno == ENOTDIR || errno == ELOOP)
      throw Refusal(parent.PathOf(name) +
                    " n'est pas un dossier : il sert aux réceptions en cours");
    throw Refusal(FileError("ouvrir le dossier", parent.PathOf(name), errno));
  }
  struct stat st {};
  if (made) ::fchmod(folder->Fd(), 0700);
  if (::fstat(folder->Fd(), &st) != 0) throw Refusal(FileError("lire", folder->Path(), errno));
  if (const auto why = NotPrivate(st))
    throw Refusal(folder->Path() + " " + *why +
                  " : les réceptions ne s'y écrivent pas, un autre utilisateur pourrait y changer "
                  "ce qui est reçu. Supprimez-le s'il n'est pas à vous, sinon « chmod 700 " +
                  folder->Path() + " » ; ou recevez dans un autre dossier");
  return std::move(*folder);
}

}  // namespace

std::string DurationText(std::chrono::seconds duration) {
  const long long s = std::max<long long>(duration.count(), 0);
  // The two largest units, the second left out when it is zero.
  const auto two = [](long long big, const char* big_unit, long long small,
                      const char* small_unit) {
    std::string text = std::to_string(big) + " " + big_unit;
    if (small > 0) text += " " + std::to_string(small) + " " + small_unit;
    return text;
  };
  if (s >= 86400) return two(s / 86400, "j", s % 86400 / 3600, "h");
  if (s >= 3600) return two(s / 3600, "h", s % 3600 / 60, "min");
  if (s >= 60) return two(s / 60, "min", s % 60, "s");
  return std::to_string(s) + " s";
}

PartialFile::PartialFile(const std::string& target, bool replace)
    : target_(target),
      name_(NameOf(target)),
      replace_(replace),
      folder_(HeldFolder::Open(FolderOf(target))) {
  if (name_.empty() || name_ == "." || name_ == "..")
    throw Refusal("« " + target + " » ne nomme pas un fichier");
  if (name_ == kFolder)
    throw Refusal("« " + name_ + " » est le nom du dossier des réceptions en cours");
  if (const auto st = folder_.Look(name_)) {
    if (S_ISDIR(st->st_mode))
      throw Refusal(target +
                    " est un dossier : donnez le chemin du fichier à recevoir, par "
                    "exemple " +
                    (std::filesystem::path(target) / "FACT0001.TXT").string());
    if (!S_ISREG(st->st_mode))
      throw Refusal(target + " est " + KindOf(*st) +
                    ", pas un fichier ordinaire : la réception ne le remplace pas");
    if (!replace)
      throw Refusal(target +
                    " existe déjà : la réception ne l'écrase pas et n'y ajoute rien. "
                    "--replace le remplace une fois la réception terminée");
  }
  if (::faccessat(folder_.Fd(), ".", W_OK | X_OK, AT_EACCESS) != 0)
    throw Refusal(FileError("écrire dans le dossier", folder_.Path(), errno));
  path_ = folder_.PathOf(std::string(kFolder) + "/" + name_);
}

void PartialFile::Open(const ResumePolicy& policy, const std::function<void()>& before_lock) {
  // The lock holds the file that the name stood for when it was opened:
  // meanwhile another receive may have put that file in place of the target,
  // or someone removed it. So once locked, the name must still stand for it
  // (and it must still have a name); otherwise all starts over.
  for (int attempt = 1;; ++attempt) {
    // The folders too: the other receive, done, may have removed them.
    partial_folder_ = PrivateFolder(folder_, kFolder);
    origins_ = PrivateFolder(*partial_folder_, kOrigins);
    OpenFile();
    if (before_lock) before_lock();
    if (::flock(fd_.Get(), LOCK_EX | LOCK_NB) != 0) {
      fd_.Reset();
      throw Refusal("une autre réception de " + target_ + " est en cours (" + path_ +
                    " est verrouillé)");
    }
    if (StillNamed()) break;
    fd_.Reset();
    if (attempt == 10)
      throw Refusal(path_ + " change sans cesse de fichier : une autre réception de " + target_ +
                    " est en cours");
  }
  locked_ = true;
  struct stat st {};
  if (::fstat(fd_.Get(), &st) != 0) throw Refusal(FileError("lire", path_, errno));
  if (st.st_size % kRecord != 0)
    throw Refusal(path_ + ", la réception interrompue de " + target_ + ", fait " +
                  GroupDigits(st.st_size) + " octets, pas un nombre entier de blocs de " +
                  std::to_string(kRecord) +
                  " : supprimez-le pour "
                  "recevoir de nouveau le fichier entier");
  if (st.st_size > 0)
    CheckOrigin(policy);
  else
    WriteOrigin(policy.user);
}

void PartialFile::OpenFile() {
  fd_ = partial_folder_->CreatePrivate(name_);
  if (fd_) return;
  if (errno != EEXIST) {
    const int error = errno;
    Cleanup();
    throw Refusal(FileError("créer", path_, error));
  }
  std::string why;
  fd_ = partial_folder_->OpenPrivate(name_, 0, why);
  if (fd_) return;
  if (why.empty()) throw Refusal(FileError("ouvrir", path_, errno));
  throw Refusal(path_ + " " + why +
                " : la réception ne le reprend pas. Supprimez-le pour recevoir de nouveau le "
                "fichier entier");
}

bool PartialFile::StillNamed() const {
  struct stat held {};
  struct stat named {};
  return ::fstat(fd_.Get(), &held) == 0 && held.st_nlink > 0 &&
         ::fstatat(partial_folder_->Fd(), name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         named.st_dev == held.st_dev && named.st_ino == held.st_ino;
}

void PartialFile::CheckOrigin(const ResumePolicy& policy) const {
  std::string text;
  if (UniqueFd fd(::openat(origins_->Fd(), name_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC)); fd) {
    char buffer[4096];
    const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
    if (n > 0) text.assign(buffer, static_cast<std::size_t>(n));
  }
  auto fields = ParseOrigin(text);
  const auto started = ParseUtc(fields["début"]);
  std::string why;
  if (!started) {
    why = "dont l'origine est inconnue (" + origins_->PathOf(name_) + " manque)";
  } else if (fields["serveur"] != kServerNumber) {
    why = "commencée avec le serveur " + Visible(fields["serveur"]) + ", pas " + kServerNumber;
  } else if (AccountOf(fields["utilisateur"]) != AccountOf(policy.user)) {
    // One account to the server, however it was typed ("PS0001 ").
    why = "commencée pour l'utilisateur « " + Visible(fields["utilisateur"]) + " », pas « " +
          policy.user + " »";
  } else if (const auto age = std::chrono::seconds(std::time(nullptr) - *started);
             age.count() < 0) {
    // The clock went back since: its age is not known, so it is not young.
    why = "datée du " + fields["début"] + ", plus tard que maintenant (l'horloge a changé)";
  } else if (age > policy.max_age) {
    why = "commencée il y a " + DurationText(age) + " (le " + fields["début"] + "), plus de " +
          DurationText(policy.max_age);
  }
  if (why.empty() || policy.resume_old) return;
  throw Refusal(path_ + " garde " + GroupDigits(Blocks()) + " blocs d'une réception de " + target_ +
                " " + why +
                " : le fichier du serveur a pu changer depuis, et la suite reçue ne "
                "prolongerait pas les mêmes données. Supprimez " +
                path_ +
                " pour recevoir de nouveau le fichier entier, ou --resume-old le "
                "reprend quand même");
}

void PartialFile::WriteOrigin(const std::string& user) const {
  const std::string text = "début : " + UtcText(std::time(nullptr)) + "\nutilisateur : " + user +
                           "\nserveur : " + kServerNumber + "\n";
  auto [fd, temporary] = origins_->CreateTemporary();
  int error = WriteAll(fd.Get(), text);
  if (error == 0 && !origins_->MoveTo(temporary, *origins_, name_, true)) error = errno;
  if (error != 0) {
    ::unlinkat(origins_->Fd(), temporary.c_str(), 0);
    throw Refusal(FileError("écrire", origins_->PathOf(name_), error));
  }
}

PartialFile::~PartialFile() {
  Cleanup();
}

void PartialFile::Cleanup() {
  struct stat st {};
  // Still locked by us: nobody else is writing it.
  if (locked_ && !committed_ && ::fstat(fd_.Get(), &st) == 0 && st.st_size == 0) {
    ::unlinkat(partial_folder_->Fd(), name_.c_str(), 0);
    ::unlinkat(origins_->Fd(), name_.c_str(), 0);
  }
  if (committed_) ::unlinkat(origins_->Fd(), name_.c_str(), 0);
  fd_.Reset();
  locked_ = false;
  // Our own folders go when they are empty; another user's are left alone.
  if (!partial_folder_) return;
  if (origins_) ::unlinkat(partial_folder_->Fd(), kOrigins, AT_REMOVEDIR);
  ::unlinkat(folder_.Fd(), kFolder, AT_REMOVEDIR);
}

int64_t PartialFile::Blocks() const {
  struct stat st {};
  if (::fstat(fd_.Get(), &st) != 0) return 0;
  return st.st_size / kRecord;
}

void PartialFile::KeepWholeBlocks() {
  assert(locked_);
  struct stat st {};
  if (::fstat(fd_.Get(), &st) == 0 && st.st_size % kRecord != 0) {
    if (::ftruncate(fd_.Get(), st.st_size - st.st_size % kRecord) != 0) {
      // The next receive refuses the partial file and says so.
    }
  }
}

std::string PartialFile::Commit() {
  assert(locked_ && "only the receive that holds the lock puts its file in place");
  if (::fsync(fd_.Get()) != 0) throw FileFailure(FileError("écrire", path_, errno));
  // What the name stands for now is what is put in place: it must be what
  // this receive wrote.
  if (!StillNamed())
    throw FileFailure(path_ + " n'est plus le fichier de cette réception (supprimé ou remplacé " +
                      "pendant la réception) : " + target_ + " n'est pas mis en place");
  const std::string kept = " ; le fichier reçu est gardé dans " + path_;
  std::string note;
  if (replace_) {
    // Looked at again: a name that became something else meanwhile is left.
    if (const auto st = folder_.Look(name_)) {
      if (!S_ISREG(st->st_mode))
        throw FileFailure(target_ + " est devenu " + KindOf(*st) + " : il n'est pas remplacé" +
                          kept);
      note = TakeOverMode(fd_.Get(), *st, target_);
    }
  }
  if (!partial_folder_->MoveTo(name_, folder_, name_, replace_)) {
    if (errno == EEXIST)
      throw FileFailure(target_ +
                        " a été créé par un autre programme pendant la réception : il n'est pas "
                        "remplacé" +
                        kept + " (--replace le remplacerait)");
    throw FileFailure(FileError("renommer", path_ + " en " + target_, errno));
  }
  committed_ = true;
  if (!folder_.Sync())
    throw FileFailure(FileError("écrire dans le dossier", folder_.Path(), errno));
  Cleanup();
  return note;
}

}  // namespace xmodemq
