#include "pack/Unpacker.h"

#include <algorithm>
#include <cstring>

namespace xmodemquarvel::pack {

namespace {

// Code bytes decoded between two checks of the room left.
constexpr std::size_t kPiece = 1024;
// One code byte writes at most two digit repeats of 31 characters; the fixed
// size stores below may write up to kStoreSlack bytes past the output.
constexpr std::size_t kMaxOutputPerByte = 2 * kMaxDigitRun;
constexpr std::size_t kStoreSlack = 64;
constexpr std::size_t kOutputSize = std::size_t{1} << 20;
constexpr std::size_t kBufferSize =
    kBlockSize + kOutputSize + kPiece * kMaxOutputPerByte + kStoreSlack;

}  // namespace

Unpacker::Unpacker(ByteSink& target)
    : target_(target),
      buffer_(std::make_unique<std::uint8_t[]>(kBufferSize)),
      flushed_(buffer_.get() + kBlockSize),
      limit_(buffer_.get() + kBlockSize + kOutputSize) {
  state_.out = buffer_.get() + kBlockSize;
}

void Unpacker::Start(const std::uint8_t* firstBlock) {
  std::uint8_t* const base = buffer_.get();
  std::memcpy(base, firstBlock, kBlockSize);
  flushed_ = base;
  state_ = State{};
  state_.out = base + kBlockSize;
}

void Unpacker::Drain() {
  std::uint8_t* const base = buffer_.get();
  const std::size_t used = static_cast<std::size_t>(state_.out - base);
  const std::size_t fill = used % kBlockSize;
  std::uint8_t* const complete = state_.out - fill;
  if (complete > flushed_) target_.Write({flushed_, static_cast<std::size_t>(complete - flushed_)});
  // Keep the last complete block, already written, as the previous block.
  std::memmove(base, complete - kBlockSize, kBlockSize + fill);
  flushed_ = base + kBlockSize;
  state_.out = flushed_ + fill;
}

void Unpacker::Finish() {
  Drain();
}

void Unpacker::UnpackBytes(std::span<const std::uint8_t> code) {
  const std::uint8_t* p = code.data();
  const std::uint8_t* const end = p + code.size();
  while (p != end) {
    const std::size_t piece = std::min(kPiece, static_cast<std::size_t>(end - p));
    if (state_.out > limit_) Drain();
    UnpackPiece(p, p + piece);
    p += piece;
  }
}

bool Unpacker::UnpackEndBlock(const std::uint8_t* endBlock) {
  const std::uint8_t count = endBlock[0];
  // Only the 127 bytes after the count exist; a larger count is decoded up to
  // them and then refused.
  UnpackBytes({endBlock + 1, std::min<std::size_t>(count, kMaxEndCount)});
  return count <= kMaxEndCount;
}

// Writes 'count' copies of c. Counts come from one code or one pair of
// 4-bit values, so they stay below 32 in a well-formed or corrupt stream;
// the fixed-size store keeps the common case free of a length-dependent loop.
void Unpacker::PutRepeated(State& s, std::uint8_t c, int count) {
  if (count <= 32) {
    std::memset(s.out, c, 32);
  } else {
    std::memset(s.out, c, static_cast<std::size_t>(count));
  }
  s.out += count;
}

// Copies from the same positions of the previous block, which lies exactly
// one block behind the output, across block ends too: the block just
// completed becomes the previous one.
void Unpacker::PutCopied(State& s, int count) {
  std::memcpy(s.out, s.out - kBlockSize, static_cast<std::size_t>(kMaxCopyCount + 1));
  s.out += count;
}

void Unpacker::UnpackNibble(State& s, int value) {
  if (s.repeatPending) {
    PutRepeated(s, s.lastChar, s.pendingCount + value);
    s.repeatPending = false;
    s.pendingCount = 0;
    return;
  }
  if (value <= 9) {
    s.lastChar = static_cast<std::uint8_t>(kDigitZero + value);
    PutUnpackedChar(s, s.lastChar);
  } else if (value == kNibbleRepeat) {
    s.repeatPending = true;
  } else if (value == kNibbleRepeatLong) {
    s.repeatPending = true;
    s.pendingCount = kLongRepeatBase;
  } else if (value == kNibbleEnd) {
    s.digitMode = false;
  }
}

void Unpacker::UnpackPiece(const std::uint8_t* code, const std::uint8_t* end) {
  State s = state_;
  for (; code != end; ++code) {
    const std::uint8_t c = *code;
    if (s.digitMode | s.escape | (s.pendingCount > 0)) [[unlikely]] {
      if (s.digitMode) {
        // Both halves are decoded, even when the first ends digit mode.
        UnpackNibble(s, c >> 4);
        UnpackNibble(s, c & 0x0F);
      } else if (s.pendingCount > 0) {
        PutRepeated(s, c, s.pendingCount);
        s.pendingCount = 0;
      } else {
        PutUnpackedChar(s, c);
        s.escape = false;
      }
      continue;
    }
    if (c <= kLastLowLiteral) {
      if (c <= kLastDigitStart) {
        s.digitMode = true;
        UnpackNibble(s, c);
      } else {
        s.lastChar = c;
        PutUnpackedChar(s, c);
      }
    } else if (c <= kLastSpaceCode) {
      std::memset(s.out, kSpace, static_cast<std::size_t>(kMaxSpaceCount + 1));
      s.out += c - kSpaceCodeBase;
    } else if (c <= kLastRepeatCode) {
      s.pendingCount = c - kRepeatCodeBase;
    } else if (c <= kLastCopyCode) {
      PutCopied(s, c - kCopyCodeBase);
    } else if (c < kFirstHighLiteral) {
      s.escape = true;
    } else {
      s.lastChar = c;
      PutUnpackedChar(s, c);
    }
  }
  state_ = s;
}

}  // namespace xmodemquarvel::pack
