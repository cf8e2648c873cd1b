#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/UniqueFd.h"

namespace xmodemquarvel::protocol {

// A file read as consecutive 128-byte records, the way a send reads it.
// Reading is buffered in blocks of 64 KiB, whatever the file's size.
class RecordReader {
 public:
  // Opens `path` for reading; a missing file is created empty. Returns nothing
  // when the file cannot be opened (or is a directory).
  static std::optional<RecordReader> Open(const std::string& path);

  // Makes record `record` + 1 the next one read. A position at or beyond the
  // end is no error. False when the file cannot be positioned (a pipe).
  bool Seek(std::int64_t record);
  // Fills `out` with the next whole record; false at the end of the file or on
  // a final fragment of fewer than 128 bytes. A read error throws
  // std::system_error.
  bool Next(std::string& out);

 private:
  explicit RecordReader(UniqueFd fd);

  UniqueFd fd_;
  std::vector<char> buffer_;
  std::size_t head_ = 0;
  std::size_t tail_ = 0;
  bool end_ = false;
};

// A file that received blocks are appended to, each block written through to
// the file at once.
class BlockAppender {
 public:
  // Opens an existing file for appending; nothing when it cannot be opened.
  static std::optional<BlockAppender> OpenExisting(const std::string& path);
  // Creates the file (or opens it if it appeared meanwhile) for appending;
  // throws std::system_error when it cannot.
  static BlockAppender Create(const std::string& path);
  // Writes at the end of a regular file that the host opened for writing,
  // through a duplicate of its descriptor (the two share the offset; the
  // host's stays open). Nothing when it is not such a file.
  static std::optional<BlockAppender> Borrow(int fd);

  // Size in bytes, or nothing when it cannot be measured.
  std::optional<std::int64_t> Size() const;
  // Appends all the bytes; throws std::system_error on failure.
  void Append(std::string_view bytes);
  // Keeps the first `bytes` bytes; later appends go after them (the offset
  // moves to the new end). Throws std::system_error on failure.
  void Truncate(std::int64_t bytes);

 private:
  explicit BlockAppender(UniqueFd fd) : fd_(std::move(fd)) {}

  UniqueFd fd_;
};

// Whether something exists under `path`.
bool PathExists(const std::string& path);

// A file size as a number of 128-byte blocks, rounded to the nearest, a half
// going to the even neighbour.
std::int64_t RoundedBlockCount(std::int64_t bytes);

}  // namespace xmodemquarvel::protocol
