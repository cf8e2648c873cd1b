#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>

#include "pack/ByteSink.h"
#include "pack/PackFiles.h"

// A file read ahead of the coder and a file written behind it, each by a
// thread of its own, so that the kernel's work of copying between the files
// and memory overlaps the coding: on two cores a conversion then takes about
// as long as the longer of the two rather than their sum. Each holds two
// buffers of a fixed size, whatever the size of the file. The helper threads
// block every signal, so that the caller's thread takes them.
namespace xmodemquarvel::pack {

// Reads up to `size` bytes, fewer only at the end of the file or on a
// failure, whose errno goes to `error`; an interrupted read is tried again.
std::size_t ReadFull(int fd, std::uint8_t* data, std::size_t size, int& error);

// Reads `fd` from its offset to its end in pieces of `pieceSize` bytes (a
// multiple of 128; only the last is short), one piece ahead of Next. A read
// failure is thrown by the Next that would have returned the piece, as a
// std::system_error with `failure` as its text. `check`, when set, is called
// before each piece is handed over and may throw to stop there.
class ReadAhead final : public ChunkSource {
 public:
  ReadAhead(int fd, std::string failure, std::size_t pieceSize, AbortCheck check = {});
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  ByteRange Next() override;

 private:
  struct Piece {
    std::unique_ptr<std::uint8_t[]> bytes;
    std::size_t size = 0;
    int error = 0;
    bool ready = false;
  };
  void Run();

  const int fd_;
  const std::string failure_;
  const std::size_t pieceSize_;
  const AbortCheck check_;
  Piece pieces_[2];
  // The piece Next returned last, which the reader leaves alone until the
  // next call; -1 before the first.
  int held_ = -1;
  int next_ = 0;
  bool ended_ = false;
  bool stop_ = false;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::thread thread_;
};

// Writes to `fd` what Write is given, one piece behind: Write returns as soon
// as the piece before has been written, and the thread goes on reading the
// bytes it was given, which stay valid until the next Write or Settle (see
// ByteSink). A write failure is thrown by the next Write or by Settle, as a
// std::system_error with `failure` as its text; nothing is written after it.
class WriteBehind final : public ByteSink {
 public:
  WriteBehind(int fd, std::string failure);
  // Waits for the piece being written, if any.
  ~WriteBehind();
  WriteBehind(const WriteBehind&) = delete;
  WriteBehind& operator=(const WriteBehind&) = delete;

  void Write(ByteRange range) override;
  // Waits until everything given is written; throws a failure.
  void Settle() override;

 private:
  void Run();
  // With the lock held: until the thread is idle, then the failure if any.
  void WaitIdle(std::unique_lock<std::mutex>& lock);

  const int fd_;
  const std::string failure_;
  // The piece being written.
  std::span<const std::uint8_t> pending_;
  int error_ = 0;
  bool stop_ = false;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::thread thread_;
};

}  // namespace xmodemquarvel::pack
