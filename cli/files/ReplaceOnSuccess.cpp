#include "files/ReplaceOnSuccess.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "system/FileErrors.h"
#include "system/Paths.h"

namespace xmodemq {

ReplaceOnSuccess::ReplaceOnSuccess(const std::string& target, bool replace)
    : target_(target),
      target_name_(NameOf(target)),
      replace_(replace),
      folder_(HeldFolder::Open(FolderOf(target))) {
  if (target_name_.empty() || target_name_ == "." || target_name_ == "..")
    throw Refusal(target + " est un dossier");
  if (const auto st = folder_.Look(target_name_)) {
    if (S_ISDIR(st->st_mode)) throw Refusal(target + " est un dossier");
    if (!S_ISREG(st->st_mode))
      throw Refusal(target + " est " + KindOf(*st) +
                    ", pas un fichier ordinaire : il n'est jamais remplacé par un fichier");
    if (!replace)
      throw Refusal(target +
                    " existe déjà : il n'est pas remplacé. --replace le remplace une fois le "
                    "nouveau fichier complet");
  }
  try {
    auto [fd, name] = folder_.CreateTemporary();
    fd_ = std::move(fd);
    name_ = std::move(name);
  } catch (const FileFailure& e) {
    throw Refusal(e.what());
  }
}

ReplaceOnSuccess::~ReplaceOnSuccess() {
  if (!committed_) ::unlinkat(folder_.Fd(), name_.c_str(), 0);
}

void ReplaceOnSuccess::Commit() {
  if (const auto st = folder_.Look(target_name_)) {
    if (!S_ISREG(st->st_mode))
      throw FileFailure(target_ + " est devenu " + KindOf(*st) + " : il n'est pas remplacé");
    // The permission bits, never set-user-id and the like.
    if (replace_ && ::fchmod(fd_.Get(), st->st_mode & 0777) != 0)
      throw FileFailure(FileError("écrire", Path(), errno));
  }
  if (::fsync(fd_.Get()) != 0) throw FileFailure(FileError("écrire", Path(), errno));
  if (!folder_.MoveTo(name_, folder_, target_name_, replace_)) {
    if (errno == EEXIST)
      throw FileFailure(target_ +
                        " a été créé par un autre programme entre-temps : il n'est "
                        "pas remplacé");
    throw FileFailure(FileError("renommer", Path() + " en " + target_, errno));
  }
  committed_ = true;
  if (!folder_.Sync())
    throw FileFailure(FileError("écrire dans le dossier", folder_.Path(), errno));
}

}  // namespace xmodemq
