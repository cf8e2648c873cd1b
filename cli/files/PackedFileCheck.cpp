#include "files/PackedFileCheck.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <span>
#include <system_error>
#include <vector>

#include "system/Records.h"
#include "terminal/Text.h"
#include "xmodemquarvel/Packing.h"

namespace xmodemq {
namespace {

namespace pack = xmodemquarvel::pack;
constexpr std::size_t kBlock = static_cast<std::size_t>(kRecord);
constexpr std::size_t kPiece = std::size_t{1} << 20;

// Reads up to `size` bytes at `offset`; fewer only at the end of the file.
std::size_t ReadAt(int fd, std::uint8_t* data, std::size_t size, off_t offset) {
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::pread(fd, data + got, size - got, offset + static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw std::system_error(errno, std::generic_category(), "lecture");
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return got;
}

// A file read from its start in large pieces of whole blocks.
class Pieces final : public pack::ChunkSource {
 public:
  explicit Pieces(int fd) : fd_(fd), buffer_(kPiece) {}
  pack::ByteRange Next() override {
    const std::size_t got = ReadAt(fd_, buffer_.data(), buffer_.size(), offset_);
    offset_ += static_cast<off_t>(got);
    return {buffer_.data(), got};
  }

 private:
  int fd_;
  std::vector<std::uint8_t> buffer_;
  off_t offset_ = 0;
};

// Compares what the packer writes with a file, piece by piece.
class SameAs final : public pack::ByteSink {
 public:
  explicit SameAs(int fd) : fd_(fd), buffer_(kPiece) {}
  void Write(pack::ByteRange range) override {
    std::span<const std::uint8_t> bytes(range.data, range.size);
    while (same_ && !bytes.empty()) {
      const std::size_t n = std::min(bytes.size(), buffer_.size());
      if (ReadAt(fd_, buffer_.data(), n, offset_) != n ||
          std::memcmp(buffer_.data(), bytes.data(), n) != 0)
        same_ = false;
      offset_ += static_cast<off_t>(n);
      bytes = bytes.subspan(n);
    }
  }
  // The same bytes, and no more in the file.
  bool Same() {
    std::uint8_t extra = 0;
    return same_ && ReadAt(fd_, &extra, 1, offset_) == 0;
  }

 private:
  int fd_;
  std::vector<std::uint8_t> buffer_;
  off_t offset_ = 0;
  bool same_ = true;
};

}  // namespace

std::optional<std::string> NotPacked(int fd, int64_t size) {
  if (size == 0 || size % static_cast<int64_t>(kBlock) != 0)
    return "sa taille (" + GroupDigits(size) + " octets) n'est pas un multiple non nul de " +
           std::to_string(kRecord);
  std::uint8_t end[kBlock];
  if (ReadAt(fd, end, kBlock, static_cast<off_t>(size) - static_cast<off_t>(kBlock)) != kBlock)
    return "il a changé pendant sa lecture";
  const std::size_t count = end[0];
  if (count > 127)
    return "son bloc de fin annonce " + std::to_string(count) + " octets de code (127 au plus)";
  // A packed file of one block is the end block of an empty file.
  if (size == static_cast<int64_t>(kBlock) && count != 0)
    return "son seul bloc n'est pas celui d'un fichier vide";
  if (std::any_of(end + 1 + count, end + kBlock, [](std::uint8_t b) { return b != 0; }))
    return "son dernier bloc ne finit pas par les octets nuls d'un bloc de fin (" +
           std::to_string(count) + " octets de code annoncés)";
  return std::nullopt;
}

bool RepacksTheSame(int packed, int unpacked) {
  Pieces source(unpacked);
  SameAs target(packed);
  int32_t count = 0;
  pack::PackStream(source, target, count, {});
  return target.Same();
}

}  // namespace xmodemq
