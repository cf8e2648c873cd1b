#include "pack/Overlapped.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <system_error>
#include <utility>

#include "platform/WriteAll.h"

namespace xmodemquarvel::pack {

namespace {

// Starts `run` on a thread that blocks every signal: the mask is inherited,
// so it is set around the start, never after it.
template <class Run>
std::thread StartBlockingSignals(Run run) {
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &previous);
  struct Restore {
    const sigset_t& mask;
    ~Restore() { pthread_sigmask(SIG_SETMASK, &mask, nullptr); }
  } restore{previous};
  return std::thread(std::move(run));
}

[[noreturn]] void Throw(int error, const std::string& failure) {
  throw std::system_error(error, std::generic_category(), failure);
}

}  // namespace

std::size_t ReadFull(int fd, std::uint8_t* data, std::size_t size, int& error) {
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::read(fd, data + got, size - got);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      error = errno;
      break;
    }
  }
  return got;
}

ReadAhead::ReadAhead(int fd, std::string failure, std::size_t pieceSize, AbortCheck check)
    : fd_(fd), failure_(std::move(failure)), pieceSize_(pieceSize), check_(std::move(check)) {
  for (Piece& piece : pieces_)
    piece.bytes = std::make_unique_for_overwrite<std::uint8_t[]>(pieceSize);
  thread_ = StartBlockingSignals([this] { Run(); });
}

ReadAhead::~ReadAhead() {
  {
    const std::lock_guard lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void ReadAhead::Run() {
  for (int at = 0;; at ^= 1) {
    Piece& piece = pieces_[at];
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return stop_ || (!piece.ready && held_ != at); });
      if (stop_) return;
    }
    int error = 0;
    const std::size_t got = ReadFull(fd_, piece.bytes.get(), pieceSize_, error);
    {
      const std::lock_guard lock(mutex_);
      piece.size = got;
      piece.error = error;
      piece.ready = true;
    }
    changed_.notify_all();
    // The end of the file, or a failure: nothing more to read.
    if (got < pieceSize_ || error != 0) return;
  }
}

ByteRange ReadAhead::Next() {
  if (check_) check_();
  std::unique_lock lock(mutex_);
  if (ended_) return {};
  if (held_ >= 0) {
    pieces_[held_].ready = false;
    held_ = -1;
    changed_.notify_all();
  }
  Piece& piece = pieces_[next_];
  changed_.wait(lock, [&] { return piece.ready; });
  // A short piece is the last; after a failure nothing more is read.
  ended_ = piece.size < pieceSize_ || piece.error != 0;
  if (piece.error != 0) Throw(piece.error, failure_);
  held_ = next_;
  next_ ^= 1;
  return {piece.bytes.get(), piece.size};
}

WriteBehind::WriteBehind(int fd, std::string failure) : fd_(fd), failure_(std::move(failure)) {
  thread_ = StartBlockingSignals([this] { Run(); });
}

WriteBehind::~WriteBehind() {
  {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return pending_.empty(); });
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void WriteBehind::Run() {
  std::unique_lock lock(mutex_);
  while (true) {
    changed_.wait(lock, [&] { return stop_ || !pending_.empty(); });
    if (pending_.empty()) return;
    const std::span<const std::uint8_t> bytes = pending_;
    lock.unlock();
    const int error =
        WriteAll(fd_, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    lock.lock();
    if (error_ == 0) error_ = error;
    pending_ = {};
    changed_.notify_all();
  }
}

void WriteBehind::WaitIdle(std::unique_lock<std::mutex>& lock) {
  changed_.wait(lock, [&] { return pending_.empty(); });
  if (error_ != 0) Throw(error_, failure_);
}

void WriteBehind::Write(ByteRange range) {
  if (range.size == 0) return;
  const std::span<const std::uint8_t> bytes(range.data, range.size);
  {
    std::unique_lock lock(mutex_);
    WaitIdle(lock);
    pending_ = bytes;
  }
  changed_.notify_all();
}

void WriteBehind::Settle() {
  std::unique_lock lock(mutex_);
  WaitIdle(lock);
}

}  // namespace xmodemquarvel::pack
