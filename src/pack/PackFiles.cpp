#include "pack/PackFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <system_error>
#include <utility>

#include "pack/Overlapped.h"
#include "pack/PackedFormat.h"
#include "pack/Packer.h"
#include "pack/Unpacker.h"
#include "platform/WriteAll.h"

namespace xmodemquarvel::pack {

namespace {

// Files are read in pieces of this size, a multiple of the block size, on
// the reading thread too: each piece handed over wakes that thread, and on
// two cores pieces of 64 KiB spent more in waking it than they saved in
// cache (paired runs on 200 MiB in RAM, idle machine: a megabyte took 0.82
// times the wall time of an unpack, 0.81 times that of a pack).
constexpr std::size_t kReadSize = std::size_t{1} << 20;
static_assert(kReadSize % kBlockSize == 0);

[[noreturn]] void ThrowSystem(int error, const std::string& description) {
  throw std::system_error(error, std::generic_category(), description);
}

[[noreturn]] void ThrowCorruptEndBlock() {
  throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                          "Argument ou appel de procédure incorrect");
}

// An open file descriptor, closed when it goes out of scope. Close reports
// the failure of a target's last write, which some file systems only give
// there.
class FileHandle {
 public:
  FileHandle(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  FileHandle(FileHandle&& other) noexcept
      : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle() {
    if (fd_ >= 0) ::close(fd_);
  }

  int fd() const { return fd_; }
  const std::string& path() const { return path_; }

  void CloseTarget() {
    const int fd = fd_;
    fd_ = -1;
    // Linux frees the descriptor even when close fails; never retry it.
    if (::close(fd) != 0) ThrowSystem(errno, "Erreur d'écriture dans " + path_);
  }

 private:
  int fd_;
  std::string path_;
};

// A directory opens for reading but cannot be read as a file: it is refused
// here, like a missing source, before the target is touched.
FileHandle OpenSource(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    ThrowSystem(error,
                error == ENOENT ? "Fichier introuvable : " + path : "Impossible d'ouvrir " + path);
  }
  FileHandle source(fd, path);
  struct stat st {};
  if (::fstat(fd, &st) != 0) ThrowSystem(errno, "Impossible d'ouvrir " + path);
  if (S_ISDIR(st.st_mode))
    ThrowSystem(EISDIR, "Impossible d'ouvrir " + path + " : c'est un dossier");
  return source;
}

// Creates the target, or empties an existing one.
FileHandle OpenTarget(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) ThrowSystem(errno, "Impossible de créer " + path);
  return FileHandle(fd, path);
}

// Reads a file in large pieces; only the last piece may be short.
class FileReader final : public ChunkSource {
 public:
  explicit FileReader(const FileHandle& file)
      : file_(file), buffer_(std::make_unique_for_overwrite<std::uint8_t[]>(kReadSize)) {}

  explicit FileReader(const FileHandle& file, const AbortCheck& check) : FileReader(file) {
    check_ = &check;
  }

  ByteRange Next() override {
    if (check_ != nullptr && *check_) (*check_)();
    int error = 0;
    const std::size_t got = ReadFull(file_.fd(), buffer_.get(), kReadSize, error);
    if (error != 0) ThrowSystem(error, "Erreur de lecture dans " + file_.path());
    return {buffer_.get(), got};
  }

 private:
  const FileHandle& file_;
  std::unique_ptr<std::uint8_t[]> buffer_;
  const AbortCheck* check_ = nullptr;
};

class FileSink final : public ByteSink {
 public:
  explicit FileSink(const FileHandle& file) : file_(file) {}

  void Write(ByteRange bytes) override {
    const std::string_view text(reinterpret_cast<const char*>(bytes.data), bytes.size);
    if (const int err = WriteAll(file_.fd(), text))
      ThrowSystem(err, "Erreur d'écriture dans " + file_.path());
  }

 private:
  const FileHandle& file_;
};

// Notes whether the target itself failed. After any other failure the coder
// hands over what it produced before it; after a failed write it must not write
// again, or the bytes that went out before the failure would be doubled.
class WatchedSink final : public ByteSink {
 public:
  explicit WatchedSink(ByteSink& target) : target_(target) {}
  void Write(ByteRange bytes) override {
    failed_ = true;
    target_.Write(bytes);
    failed_ = false;
  }
  // Called once nothing more is written.
  void Settle() override { target_.Settle(); }
  // After another failure: what was given goes, and that failure stays the
  // one reported.
  void SettleQuietly() {
    try {
      Settle();
    } catch (...) {
    }
  }
  bool Failed() const { return failed_; }

 private:
  ByteSink& target_;
  bool failed_ = false;
};

class BufferSource final : public ChunkSource {
 public:
  explicit BufferSource(std::span<const std::uint8_t> bytes) : bytes_{bytes.data(), bytes.size()} {}
  ByteRange Next() override { return std::exchange(bytes_, {}); }

 private:
  ByteRange bytes_;
};

class VectorSink final : public ByteSink {
 public:
  explicit VectorSink(std::vector<std::uint8_t>& out) : out_(out) {}
  void Write(ByteRange bytes) override {
    out_.insert(out_.end(), bytes.data, bytes.data + bytes.size);
  }

 private:
  std::vector<std::uint8_t>& out_;
};

// Steps through the 128-byte blocks of a source; a short last block is
// filled up with spaces.
class BlockReader {
 public:
  explicit BlockReader(ChunkSource& source) : source_(source) {}

  // The next block, or nullptr at the end. Valid until the next call.
  const std::uint8_t* Next() {
    if (chunk_.empty()) {
      const ByteRange next = source_.Next();
      chunk_ = {next.data, next.size};
    }
    if (chunk_.empty()) return nullptr;
    if (chunk_.size() >= kBlockSize) {
      const std::uint8_t* block = chunk_.data();
      chunk_ = chunk_.subspan(kBlockSize);
      return block;
    }
    short_.fill(kFillChar);
    std::memcpy(short_.data(), chunk_.data(), chunk_.size());
    chunk_ = {};
    return short_.data();
  }

  // True when the block last returned is still valid after the next call.
  bool HasMore() const { return !chunk_.empty(); }

 private:
  ChunkSource& source_;
  std::span<const std::uint8_t> chunk_;
  std::array<std::uint8_t, kBlockSize> short_{};
};

// The handler gets the counter itself; the coding follows our own count so
// that a handler cannot change which block is taken as the first.
void CountBlock(std::int64_t count, int32_t& BlocCount, const BlockEvent& event) {
  BlocCount = static_cast<int32_t>(count);
  if (event) event(BlocCount);
}

// Small conversions in memory need no large buffer.
std::size_t BufferSizeFor(std::size_t size) {
  return std::clamp<std::size_t>(size, 4096, kDefaultBufferSize);
}

}  // namespace

// A failure part-way (a handler that throws, a read error) leaves in the
// target every whole packed block produced before it; the end block is missing.
void PackStream(ChunkSource& source, ByteSink& target, int32_t& BlocCount, const BlockEvent& event,
                std::size_t bufferSize) {
  WatchedSink sink(target);
  Packer packer(sink, bufferSize);
  BlockReader reader(source);
  BlocCount = 0;
  std::int64_t count = 0;
  try {
    while (const std::uint8_t* block = reader.Next()) {
      packer.PackBlock(block, count);
      CountBlock(++count, BlocCount, event);
    }
  } catch (...) {
    if (!sink.Failed()) packer.Flush();
    sink.SettleQuietly();
    throw;
  }
  packer.Finish();
  sink.Settle();
}

void UnpackStream(ChunkSource& source, ByteSink& target, int32_t& BlocCount,
                  const BlockEvent& event, std::size_t bufferSize) {
  UnpackStream(source, target, BlocCount, event, bufferSize, nullptr);
}

void UnpackStream(ChunkSource& source, ByteSink& target, int32_t& BlocCount,
                  const BlockEvent& event, std::size_t bufferSize, UnpackCheck* check) {
  WatchedSink sink(target);
  Unpacker unpacker(sink, bufferSize, check ? check->blocks : RecodeCheck::kNone);
  BlockReader reader(source);
  BlocCount = 0;
  std::int64_t count = 0;
  // The last block read; decoded as a full code block once another follows,
  // otherwise it is the end block.
  std::array<std::uint8_t, kBlockSize> held{};
  const std::uint8_t* last = nullptr;
  // The code blocks due for decoding, side by side in the piece read: they
  // are decoded together, before the piece goes and before anything that
  // follows them, as if each had been decoded once the next was read.
  std::span<const std::uint8_t> due;
  const auto decodeDue = [&] { unpacker.UnpackBytes(std::exchange(due, {})); };
  try {
    while (const std::uint8_t* block = reader.Next()) {
      if (count == 0) {
        unpacker.Start(block);
      } else {
        if (count >= 2) {
          if (!due.empty() && last != due.data() + due.size()) decodeDue();
          due = {due.empty() ? last : due.data(), due.size() + kBlockSize};
        }
        last = block;
        if (!reader.HasMore()) {
          decodeDue();
          std::memcpy(held.data(), block, kBlockSize);
          last = held.data();
        }
      }
      CountBlock(++count, BlocCount, event);
    }
  } catch (...) {
    // The complete blocks decoded before the failure stay in the target.
    if (!sink.Failed()) {
      decodeDue();
      unpacker.Finish();
    }
    sink.SettleQuietly();
    throw;
  }
  if (count == 0) return;
  decodeDue();
  const bool valid = count < 2 || unpacker.UnpackEndBlock(last);
  // The blocks decoded before a corrupt end block are kept.
  unpacker.Finish();
  sink.Settle();
  if (!valid) ThrowCorruptEndBlock();
  if (check != nullptr) check->firstDiffering = unpacker.FirstDifferingBlock();
}

namespace {

// Runs one conversion between two open files, on the caller's thread alone
// or with the reading and the writing on threads of their own.
enum class Threads { kCaller, kOverlapped };
template <class Conversion>
void ConvertHandles(FileHandle source, FileHandle target, const AbortCheck& check, Threads threads,
                    Conversion&& convert) {
  if (threads == Threads::kOverlapped) {
    ReadAhead reader(source.fd(), "Erreur de lecture dans " + source.path(), kReadSize, check);
    WriteBehind writer(target.fd(), "Erreur d'écriture dans " + target.path());
    convert(reader, writer);
  } else {
    FileReader reader(source, check);
    FileSink writer(target);
    convert(reader, writer);
  }
  target.CloseTarget();
}

// Opens the source before the target, so that a missing source leaves the
// target untouched.
template <class Convert>
void ConvertFile(const std::string& from, const std::string& to, const AbortCheck& check,
                 Convert&& convert) {
  FileHandle source = OpenSource(from);
  ConvertHandles(std::move(source), OpenTarget(to), check, Threads::kCaller, convert);
}

// A descriptor of the caller's, held through a duplicate of our own.
FileHandle Borrow(int fd, const std::string& name) {
  const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) ThrowSystem(errno, "Impossible d'ouvrir " + name);
  return FileHandle(copy, name);
}

}  // namespace

void PackFile(const std::string& FileSource, const std::string& FilePacked, int32_t& BlocCount,
              const BlockEvent& event, const AbortCheck& check) {
  ConvertFile(FileSource, FilePacked, check, [&](ChunkSource& reader, ByteSink& writer) {
    PackStream(reader, writer, BlocCount, event);
  });
}

void UnPackFile(const std::string& FileSource, const std::string& FileUnpacked, int32_t& BlocCount,
                const BlockEvent& event, const AbortCheck& check) {
  ConvertFile(FileSource, FileUnpacked, check, [&](ChunkSource& reader, ByteSink& writer) {
    UnpackStream(reader, writer, BlocCount, event);
  });
}

void PackDescriptors(int source, const std::string& sourceName, int target,
                     const std::string& targetName, int32_t& BlocCount, const BlockEvent& event) {
  ConvertHandles(
      Borrow(source, sourceName), Borrow(target, targetName), {}, Threads::kOverlapped,
      [&](ChunkSource& reader, ByteSink& writer) { PackStream(reader, writer, BlocCount, event); });
}

void UnpackDescriptors(int source, const std::string& sourceName, int target,
                       const std::string& targetName, int32_t& BlocCount, const BlockEvent& event,
                       UnpackCheck* check) {
  ConvertHandles(Borrow(source, sourceName), Borrow(target, targetName), {}, Threads::kOverlapped,
                 [&](ChunkSource& reader, ByteSink& writer) {
                   UnpackStream(reader, writer, BlocCount, event, kDefaultBufferSize, check);
                 });
}

void PackBuffer(std::span<const std::uint8_t> source, std::vector<std::uint8_t>& out) {
  out.clear();
  BufferSource reader(source);
  VectorSink writer(out);
  int32_t count = 0;
  PackStream(reader, writer, count, {}, BufferSizeFor(source.size()));
}

void UnpackBuffer(std::span<const std::uint8_t> packed, std::vector<std::uint8_t>& out,
                  UnpackCheck* check) {
  out.clear();
  BufferSource reader(packed);
  VectorSink writer(out);
  int32_t count = 0;
  UnpackStream(reader, writer, count, {}, BufferSizeFor(packed.size()), check);
}

}  // namespace xmodemquarvel::pack
