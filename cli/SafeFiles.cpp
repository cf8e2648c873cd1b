#include "SafeFiles.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <set>

#include "FileErrors.h"
#include "component/CodePage.h"
#include "protocol/OpeningRecord.h"

namespace xmodemq {
namespace {

using xmodemquarvel::UniqueFd;
constexpr int64_t kRecord = 128;

int OpenFile(const std::string& path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// write() until all is written; false with errno set on failure.
bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// The characters of a UTF-8 text, each as its own bytes.
std::vector<std::string> Characters(const std::string& text) {
  std::vector<std::string> out;
  for (char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) == 0x80 && !out.empty())
      out.back().push_back(c);
    else
      out.emplace_back(1, c);
  }
  return out;
}

mode_t NewFileMode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

}  // namespace

std::string FolderOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string GroupDigits(int64_t value) {
  const std::string digits = std::to_string(value);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0 && digits[i - 1] != '-') out += ' ';
    out += digits[i];
  }
  return out;
}

int64_t CheckSendFile(const std::string& path, bool pad) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) throw Refusal(path + " n'existe pas : rien n'est envoyé");
    throw Refusal(FileError("lire", path, errno));
  }
  if (S_ISDIR(st.st_mode)) throw Refusal(path + " est un dossier, pas un fichier");
  if (!S_ISREG(st.st_mode)) throw Refusal(path + " n'est pas un fichier ordinaire");
  if (UniqueFd fd(OpenFile(path, O_RDONLY)); !fd) throw Refusal(FileError("lire", path, errno));
  const int64_t size = st.st_size;
  if (size == 0) throw Refusal(path + " est vide : rien à envoyer");
  if (size % kRecord != 0 && !pad) {
    const int64_t padded = (size / kRecord + 1) * kRecord;
    throw Refusal(path + " fait " + GroupDigits(size) +
                  " octets, pas un nombre entier d'enregistrements de 128 octets : ses " +
                  std::to_string(size % kRecord) +
                  " derniers octets ne partiraient pas. --pad envoie une copie complétée par des "
                  "espaces jusqu'à " +
                  GroupDigits(padded) + " octets");
  }
  return size;
}

void CheckLineText(const std::string& what, const std::string& text, std::size_t width, bool secret,
                   std::vector<std::string>& warnings) {
  using xmodemquarvel::Cp1252ToUtf8;
  using xmodemquarvel::Utf8ToCp1252;
  std::set<std::string> lost;
  for (const std::string& c : Characters(text))
    if (c != "?" && Utf8ToCp1252(c) == "?") lost.insert(c);
  if (!lost.empty()) {
    if (secret)
      throw Refusal(what +
                    " contient un caractère que la ligne (code Windows-1252) ne peut pas "
                    "transmettre");
    std::string shown;
    for (const std::string& c : lost) shown += (shown.empty() ? "« " : ", « ") + c + " »";
    throw Refusal(what + " « " + text + " » contient " + shown +
                  ", que la ligne (code Windows-1252) ne peut pas transmettre : le serveur "
                  "recevrait « ? » à la place");
  }
  const std::string bytes = Utf8ToCp1252(text);
  if (bytes.size() <= width) return;
  if (secret) {
    warnings.push_back(what + " a " + std::to_string(bytes.size()) + " caractères ; seuls les " +
                       std::to_string(width) + " premiers partent");
    return;
  }
  warnings.push_back(what + " « " + text + " » a " + std::to_string(bytes.size()) +
                     " caractères ; la ligne n'en porte que " + std::to_string(width) +
                     " : le serveur recevra « " + Cp1252ToUtf8(bytes.substr(0, width)) + " »");
}

std::string CheckServerName(const std::string& path, std::vector<std::string>& warnings) {
  const std::string name = xmodemquarvel::protocol::BaseNameOf(path);
  if (name.empty())
    throw Refusal("« " + path +
                  " » ne donne aucun nom au serveur, qui connaît un fichier par son nom sans "
                  "extension");
  CheckLineText("le nom du fichier pour le serveur", name,
                decltype(xmodemquarvel::OpeningRecord::BaseName)::size(), false, warnings);
  return name;
}

PartialFile::PartialFile(const std::string& target, bool replace) : target_(target) {
  const std::string folder = FolderOf(target);
  const std::string name = NameOf(target);
  if (name.empty() || name == "." || name == "..")
    throw Refusal("« " + target + " » ne nomme pas un fichier");
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0) {
    if (errno == ENOENT) throw Refusal("le dossier " + folder + " n'existe pas");
    throw Refusal(FileError("écrire dans le dossier", folder, errno));
  }
  if (!S_ISDIR(st.st_mode)) throw Refusal(folder + " n'est pas un dossier");
  if (::stat(target.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) throw Refusal(target + " est un dossier");
    if (!replace)
      throw Refusal(target +
                    " existe déjà : la réception ne l'écrase pas et n'y ajoute rien. "
                    "--replace le remplace une fois la réception terminée");
  }
  if (::access(folder.c_str(), W_OK | X_OK) != 0)
    throw Refusal(FileError("écrire dans le dossier", folder, errno));
  folder_ = folder + "/" + kFolder;
  path_ = folder_ + "/" + name;
}

void PartialFile::Open() {
  struct stat st {};
  if (::mkdir(folder_.c_str(), 0777) != 0 && errno != EEXIST)
    throw Refusal(FileError("écrire dans le dossier", FolderOf(target_), errno));
  if (::lstat(folder_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    throw Refusal(folder_ + " n'est pas un dossier : il sert aux réceptions en cours");
  fd_ = UniqueFd(OpenFile(path_, O_RDWR | O_CREAT | O_NOFOLLOW, 0666));
  if (!fd_) {
    const int error = errno;
    ::rmdir(folder_.c_str());
    throw Refusal(FileError("créer", path_, error));
  }
  if (::fstat(fd_.Get(), &st) != 0 || !S_ISREG(st.st_mode))
    throw Refusal(path_ + " n'est pas un fichier ordinaire");
  if (::flock(fd_.Get(), LOCK_EX | LOCK_NB) != 0) {
    fd_.Reset();
    throw Refusal("une autre réception de " + target_ + " est en cours (" + path_ +
                  " est verrouillé)");
  }
  if (st.st_size % kRecord != 0) {
    fd_.Reset();
    throw Refusal(path_ + ", la réception interrompue de " + target_ + ", fait " +
                  GroupDigits(st.st_size) +
                  " octets, pas un nombre entier de blocs de 128 : supprimez-le pour "
                  "recevoir de nouveau le fichier entier");
  }
}

PartialFile::~PartialFile() {
  if (fd_ && !committed_) RemoveIfEmpty();
}

void PartialFile::RemoveIfEmpty() {
  // Still locked by us: nobody else is writing it.
  struct stat st {};
  if (::fstat(fd_.Get(), &st) == 0 && st.st_size == 0) ::unlink(path_.c_str());
  fd_.Reset();
  ::rmdir(folder_.c_str());
}

int64_t PartialFile::Blocks() const {
  struct stat st {};
  if (::fstat(fd_.Get(), &st) != 0) return 0;
  return st.st_size / kRecord;
}

void PartialFile::KeepWholeBlocks() {
  struct stat st {};
  if (::fstat(fd_.Get(), &st) == 0 && st.st_size % kRecord != 0) {
    if (::ftruncate(fd_.Get(), st.st_size - st.st_size % kRecord) != 0) {
      // The next receive refuses the partial file and says so.
    }
  }
}

void PartialFile::Commit() {
  if (::fsync(fd_.Get()) != 0) throw FileFailure(FileError("écrire", path_, errno));
  if (::rename(path_.c_str(), target_.c_str()) != 0)
    throw FileFailure(FileError("renommer", path_ + " en " + target_, errno));
  committed_ = true;
  fd_.Reset();
  ::rmdir(folder_.c_str());
}

PaddedCopy::PaddedCopy(const std::string& source, int64_t size) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/xmodemq-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr)
    throw FileFailure(FileError("créer le dossier temporaire", pattern, errno));
  folder_ = pattern;
  path_ = folder_ + "/" + NameOf(source);
  try {
    Fill(source, size);
  } catch (...) {
    Remove();
    throw;
  }
}

void PaddedCopy::Fill(const std::string& source, int64_t size) {
  UniqueFd in(OpenFile(source, O_RDONLY));
  if (!in) throw FileFailure(FileError("lire", source, errno));
  UniqueFd out(OpenFile(path_, O_WRONLY | O_CREAT | O_EXCL, 0600));
  if (!out) throw FileFailure(FileError("créer", path_, errno));
  std::vector<char> buffer(64 * 1024);
  int64_t copied = 0;
  for (;;) {
    const ssize_t n = ::read(in.Get(), buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw FileFailure(FileError("lire", source, errno));
    if (n == 0) break;
    if (!WriteAll(out.Get(), buffer.data(), static_cast<std::size_t>(n)))
      throw FileFailure(FileError("écrire", path_, errno));
    copied += n;
  }
  // The size is the one that was checked: a file that changed meanwhile is
  // refused rather than sent in a state nobody looked at.
  if (copied != size) throw FileFailure(source + " a changé pendant sa copie : rien n'est envoyé");
  const std::string spaces(static_cast<std::size_t>((kRecord - size % kRecord) % kRecord), ' ');
  if (!WriteAll(out.Get(), spaces.data(), spaces.size()) || ::fsync(out.Get()) != 0)
    throw FileFailure(FileError("écrire", path_, errno));
}

PaddedCopy::~PaddedCopy() {
  Remove();
}

void PaddedCopy::Remove() {
  ::unlink(path_.c_str());
  ::rmdir(folder_.c_str());
}

void WriteWholeFile(const std::string& path, const std::string& bytes) {
  UniqueFd fd(OpenFile(path, O_WRONLY | O_CREAT | O_TRUNC, 0666));
  if (!fd || !WriteAll(fd.Get(), bytes.data(), bytes.size()) || ::fsync(fd.Get()) != 0)
    throw FileFailure(FileError(fd ? "écrire" : "créer", path, errno));
}

ReplaceOnSuccess::ReplaceOnSuccess(const std::string& target) : target_(target) {
  struct stat st {};
  if (::stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
    throw Refusal(target + " est un dossier");
  const std::string folder = FolderOf(target);
  if (::stat(folder.c_str(), &st) != 0 && errno == ENOENT)
    throw Refusal("le dossier " + folder + " n'existe pas");
  std::string pattern = folder + "/." + NameOf(target) + ".xmodemq-XXXXXX";
  const int fd = ::mkstemp(pattern.data());
  if (fd < 0) throw Refusal(FileError("écrire dans le dossier", folder, errno));
  ::close(fd);
  path_ = pattern;
}

ReplaceOnSuccess::~ReplaceOnSuccess() {
  if (!committed_) ::unlink(path_.c_str());
}

void ReplaceOnSuccess::Commit() {
  struct stat st {};
  const mode_t mode = ::stat(target_.c_str(), &st) == 0 ? st.st_mode & 07777 : NewFileMode();
  if (::chmod(path_.c_str(), mode) != 0) throw FileFailure(FileError("écrire", path_, errno));
  if (::rename(path_.c_str(), target_.c_str()) != 0)
    throw FileFailure(FileError("renommer", path_ + " en " + target_, errno));
  committed_ = true;
}

}  // namespace xmodemq
