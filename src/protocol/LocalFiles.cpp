#include "protocol/LocalFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "platform/WriteAll.h"
#include "protocol/ControlDigits.h"
#include "protocol/Frame.h"

namespace xmodemquarvel::protocol {
namespace {

constexpr std::size_t kReadBuffer = 64 * 1024;

[[noreturn]] void ThrowErrno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

bool IsDirectory(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
}

// Opening never waits (a FIFO without a writer); reads and writes then block
// as they do on any file.
int OpenNoWait(const std::string& path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0) {
    const int fl = ::fcntl(fd, F_GETFL);
    if (fl >= 0) ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
  }
  return fd;
}

}  // namespace

RecordReader::RecordReader(UniqueFd fd) : fd_(std::move(fd)), buffer_(kReadBuffer) {}

std::optional<RecordReader> RecordReader::Open(const std::string& path) {
  UniqueFd fd(OpenNoWait(path, O_RDONLY | O_CREAT, 0666));
  if (!fd || IsDirectory(fd.Get())) return std::nullopt;
  return RecordReader(std::move(fd));
}

bool RecordReader::Seek(std::int64_t record) {
  const auto offset = static_cast<off_t>(record * static_cast<std::int64_t>(kDataSize));
  if (::lseek(fd_.Get(), offset, SEEK_SET) < 0) return false;
  head_ = tail_ = 0;
  end_ = false;
  return true;
}

bool RecordReader::Next(std::string& out) {
  while (tail_ - head_ < kDataSize && !end_) {
    if (head_ > 0) {
      std::memmove(buffer_.data(), buffer_.data() + head_, tail_ - head_);
      tail_ -= head_;
      head_ = 0;
    }
    const ssize_t n = ::read(fd_.Get(), buffer_.data() + tail_, buffer_.size() - tail_);
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowErrno("lecture du fichier");
    }
    if (n == 0) end_ = true;
    tail_ += static_cast<std::size_t>(n);
  }
  if (tail_ - head_ < kDataSize) return false;
  out.assign(buffer_.data() + head_, kDataSize);
  head_ += kDataSize;
  return true;
}

std::optional<BlockAppender> BlockAppender::OpenExisting(const std::string& path) {
  UniqueFd fd(OpenNoWait(path, O_WRONLY | O_APPEND));
  if (!fd) return std::nullopt;
  return BlockAppender(std::move(fd));
}

BlockAppender BlockAppender::Create(const std::string& path) {
  UniqueFd fd(OpenNoWait(path, O_WRONLY | O_APPEND | O_CREAT, 0666));
  if (!fd) ThrowErrno("création de " + path);
  return BlockAppender(std::move(fd));
}

std::optional<BlockAppender> BlockAppender::Borrow(int fd) {
  struct stat st {};
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
    return std::nullopt;
  UniqueFd copy(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
  // Without O_APPEND of its own, each write goes at the offset: the end.
  if (!copy || ::lseek(copy.Get(), 0, SEEK_END) < 0) return std::nullopt;
  return BlockAppender(std::move(copy));
}

std::optional<std::int64_t> BlockAppender::Size() const {
  struct stat st {};
  if (::fstat(fd_.Get(), &st) != 0) return std::nullopt;
  return static_cast<std::int64_t>(st.st_size);
}

void BlockAppender::Append(std::string_view bytes) {
  if (const int err = WriteAll(fd_.Get(), bytes)) {
    errno = err;
    ThrowErrno("écriture du fichier");
  }
}

void BlockAppender::Truncate(std::int64_t bytes) {
  int rc;
  do {
    rc = ::ftruncate(fd_.Get(), static_cast<off_t>(bytes));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0 || ::lseek(fd_.Get(), 0, SEEK_END) < 0) ThrowErrno("troncature du fichier");
}

bool PathExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

std::int64_t RoundedBlockCount(std::int64_t bytes) {
  return DivideRoundHalfEven(bytes, static_cast<std::int64_t>(kDataSize));
}

}  // namespace xmodemquarvel::protocol
