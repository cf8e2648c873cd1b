#include "exchange/ExchangeLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "system/FileErrors.h"
#include "system/WriteAll.h"
#include "terminal/Text.h"
#include "terminal/Timestamps.h"

namespace xmodemq {
namespace {

// The holder written in the lock file: "PID\nSTARTED\nPROFILE\n".
LockHolder ReadHolder(int fd) {
  std::string text;
  char buffer[1024];
  ssize_t got = 0;
  while ((got = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0 &&
         text.size() < 8192)
    text.append(buffer, static_cast<std::size_t>(got));
  LockHolder holder;
  const auto first = text.find('\n');
  const auto second = first == std::string::npos ? first : text.find('\n', first + 1);
  const auto third = second == std::string::npos ? second : text.find('\n', second + 1);
  if (third == std::string::npos) return holder;
  try {
    holder.pid = std::stoll(text.substr(0, first));
  } catch (const std::exception&) {
    holder.pid = 0;
  }
  holder.started = text.substr(first + 1, second - first - 1);
  holder.profile = text.substr(second + 1, third - second - 1);
  return holder;
}

}  // namespace

std::string LockHolder::Text() const {
  if (pid <= 0) return "un autre processus";
  return "le processus " + std::to_string(pid) + " (depuis le " + LocalTime(started) + ", profil " +
         Visible(profile) + ")";
}

LockBusy::LockBusy(LockHolder holder)
    : std::runtime_error("un échange de ce profil est déjà en cours : " + holder.Text() +
                         " ; réessayez plus tard"),
      holder_(std::move(holder)) {}

ExchangeLock::ExchangeLock(const HeldFolder& spool, const std::string& profile, mode_t mode) {
  fd_ = UniqueFd(::openat(spool.Fd(), kName, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd_ || ::fchmod(fd_.Get(), mode) != 0)
    throw FileFailure(FileError("ouvrir", spool.PathOf(kName), errno));
  if (::flock(fd_.Get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) throw LockBusy(ReadHolder(fd_.Get()));
    throw FileFailure(FileError("verrouiller", spool.PathOf(kName), errno));
  }
  const std::string text = std::to_string(::getpid()) + "\n" + UtcNow() + "\n" + profile + "\n";
  if (::ftruncate(fd_.Get(), 0) != 0 ||
      ::pwrite(fd_.Get(), text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()))
    throw FileFailure(FileError("écrire", spool.PathOf(kName), errno));
}

std::optional<LockHolder> ExchangeLock::Holder(const HeldFolder& spool) {
  UniqueFd fd(::openat(spool.Fd(), kName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) return std::nullopt;
  if (::flock(fd.Get(), LOCK_SH | LOCK_NB) == 0) return std::nullopt;
  if (errno != EWOULDBLOCK) return std::nullopt;
  return ReadHolder(fd.Get());
}

}  // namespace xmodemq
