#include "pack/Packer.h"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace xmodemquarvel::pack {

namespace {

constexpr int kBlock = static_cast<int>(kBlockSize);
constexpr int kNone = -1;

// One bit per position of a block, bit i for position i (from 0).
__extension__ using BlockMask = unsigned __int128;
constexpr BlockMask kAllPositions = ~BlockMask{0};

int CountTrailingZeros(BlockMask m) {
  const auto low = static_cast<std::uint64_t>(m);
  if (low != 0) return std::countr_zero(low);
  return 64 + std::countr_zero(static_cast<std::uint64_t>(m >> 64));
}

// The positions where the two blocks hold the same character.
BlockMask EqualPositions(const std::uint8_t* a, const std::uint8_t* b) {
  std::uint64_t half[2];
#if defined(__SSE2__)
  for (int h = 0; h < 2; ++h) {
    std::uint64_t bits = 0;
    for (int k = 0; k < 4; ++k) {
      const int offset = h * 64 + k * 16;
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + offset));
      const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + offset));
      const auto m = static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, y)));
      bits |= std::uint64_t{m} << (k * 16);
    }
    half[h] = bits;
  }
#else
  for (int h = 0; h < 2; ++h) {
    std::uint64_t bits = 0;
    for (int k = 0; k < 64; ++k) {
      bits |= std::uint64_t{a[h * 64 + k] == b[h * 64 + k]} << k;
    }
    half[h] = bits;
  }
#endif
  return (BlockMask{half[1]} << 64) | half[0];
}

// The coding of one block against the one before. It lives on the stack
// while a block is coded, so that the output pointer stays in a register:
// stores through it could otherwise alias the packer's members.
struct BlockCoder {
  std::uint8_t* out;
  const std::uint8_t* base;  // a packed block boundary
  const std::uint8_t* current;
  int heldValue = 0;
  bool byteComplete = false;

  void PackChangedSpan(int spanStart, int spanEnd, int equalRun, int scanEnd);
  void PackSegment(int segmentStart, int segmentEnd, int digitCount, int digitsEnd);
  void PackRun(int count, std::uint8_t c);
  void PackDigitRun(int count, std::uint8_t digit);
  void PutNibble(int value);
  void PutEscaped(std::uint8_t c);
  void PutPackedByte(std::uint8_t b) { *out++ = b; }
  // Number of bytes in the packed block being filled.
  std::size_t FillCount() const { return static_cast<std::size_t>(out - base) % kBlockSize; }
};

// Positions are counted from 0 here. The equal run covers the positions
// scanEnd - equalRun to scanEnd - 1.
inline void BlockCoder::PackChangedSpan(int spanStart, int spanEnd, int equalRun, int scanEnd) {
  if (spanEnd != kNone) {
    // Four or more digits in a row end a segment as its digit string; up to
    // three stay ordinary characters of the segment.
    int digitCount = 0;
    int segmentStart = spanStart;
    int segmentEnd = kNone;
    for (int j = spanStart; j <= spanEnd; ++j) {
      if (IsDigit(current[j])) {
        ++digitCount;
        continue;
      }
      if (digitCount >= kMinDigitString) {
        PackSegment(segmentStart, segmentEnd, digitCount, j - 1);
        segmentStart = j;
      }
      segmentEnd = j;
      digitCount = 0;
    }
    if (digitCount < kMinDigitString) {
      segmentEnd = spanEnd;
      digitCount = 0;
    }
    PackSegment(segmentStart, segmentEnd, digitCount, spanEnd);
  }

  // A separator keeps two copy codes of 41 apart inside one packed block.
  while (equalRun > kMaxCopyCount) {
    if (FillCount() > 0 && out[-1] == kLastCopyCode) PutPackedByte(kCopySeparator);
    PutPackedByte(kLastCopyCode);
    equalRun -= kMaxCopyCount;
  }
  if (equalRun >= kMinCopyRun) {
    PutPackedByte(static_cast<std::uint8_t>(kCopyCodeBase + equalRun));
  } else if (equalRun == 1) {
    PutEscaped(current[scanEnd - 1]);
  }
}

// The ordinary characters are segmentStart to segmentEnd; the digits, when
// digitCount is above 0, segmentEnd + 1 to digitsEnd.
inline void BlockCoder::PackSegment(int segmentStart, int segmentEnd, int digitCount,
                                    int digitsEnd) {
  if (segmentEnd == kNone) segmentEnd = segmentStart - 1;
  for (int k = segmentStart; k <= segmentEnd;) {
    const std::uint8_t c = current[k];
    int count = 1;
    while (k + count <= segmentEnd && current[k + count] == c) ++count;
    PackRun(count, c);
    k += count;
  }
  if (digitCount > 0) {
    heldValue = 0;
    byteComplete = false;
    for (int m = segmentEnd + 1; m <= digitsEnd;) {
      const std::uint8_t c = current[m];
      int count = 1;
      while (m + count <= digitsEnd && current[m + count] == c) ++count;
      PackDigitRun(count, c);
      m += count;
    }
    PutPackedByte(byteComplete ? kDigitStringEnd
                               : static_cast<std::uint8_t>(heldValue + kNibbleEnd));
  }
}

inline void BlockCoder::PackRun(int count, std::uint8_t c) {
  if (count == 1) {
    PutEscaped(c);
    return;
  }
  if (c == kSpace) {
    while (count > kMaxSpaceCount) {
      PutPackedByte(kLastSpaceCode);
      count -= kMaxSpaceCount;
    }
    PutPackedByte(count >= kMinSpaceRun ? static_cast<std::uint8_t>(kSpaceCodeBase + count)
                                        : kSpace);
    return;
  }
  // The character after a repeat code is never escaped: the code governs it.
  while (count > kMaxRepeatCount) {
    PutPackedByte(kLastRepeatCode);
    PutPackedByte(c);
    count -= kMaxRepeatCount;
  }
  if (count >= kMinRepeatRun) {
    PutPackedByte(static_cast<std::uint8_t>(kRepeatCodeBase + count));
    PutPackedByte(c);
  } else {
    for (; count > 0; --count) PutEscaped(c);
  }
}

inline void BlockCoder::PackDigitRun(int count, std::uint8_t digit) {
  const int value = digit - kDigitZero;
  if (count == 1) {
    PutNibble(value);
    return;
  }
  // 31 digits: the digit, then 16 + 14 more.
  while (count > kMaxDigitRun) {
    PutNibble(value);
    PutNibble(kNibbleRepeatLong);
    PutNibble(kMaxDigitRun - 1 - kLongRepeatBase);
    count -= kMaxDigitRun;
  }
  if (count >= kMinDigitString) {
    PutNibble(value);
    if (count > kLongRepeatBase) {
      PutNibble(kNibbleRepeatLong);
      PutNibble(count - 1 - kLongRepeatBase);
    } else {
      PutNibble(kNibbleRepeat);
      PutNibble(count - 1);
    }
  } else {
    for (; count > 0; --count) PutNibble(value);
  }
}

// The first value of a digit string goes out alone; the following ones in
// pairs, the first of a pair in the high half.
inline void BlockCoder::PutNibble(int value) {
  if (byteComplete) {
    heldValue = value << 4;
    byteComplete = false;
  } else {
    PutPackedByte(static_cast<std::uint8_t>(heldValue + value));
    byteComplete = true;
  }
}

inline void BlockCoder::PutEscaped(std::uint8_t c) {
  if (c >= kSpaceCodeBase || c < kFirstLiteral) {
    PutPackedByte(c == kEscape ? kEscapeBeforeEscape : kEscape);
  }
  PutPackedByte(c);
}

}  // namespace

Packer::Packer(ByteSink& target, std::size_t bufferSize)
    : target_(target),
      buffer_(std::make_unique_for_overwrite<std::uint8_t[]>(std::max(bufferSize, kMinBufferSize))),
      out_(buffer_.get()),
      limit_(buffer_.get() + std::max(bufferSize, kMinBufferSize) - kMaxBlockCode) {}

void Packer::Drain() {
  std::uint8_t* const base = buffer_.get();
  const std::size_t used = static_cast<std::size_t>(out_ - base);
  const std::size_t whole = used - used % kBlockSize;
  if (whole == 0) return;
  target_.Write({base, whole});
  std::memmove(base, base + whole, used - whole);
  out_ = base + (used - whole);
}

void Packer::Finish() {
  Drain();
  std::array<std::uint8_t, kBlockSize> endBlock{};
  const std::size_t fill = FillCount();
  endBlock[0] = static_cast<std::uint8_t>(fill);
  std::memcpy(endBlock.data() + 1, buffer_.get(), fill);
  target_.Write(endBlock);
  out_ = buffer_.get();
}

void Packer::PackBlock(const std::uint8_t* current, std::int64_t BlocCount) {
  if (out_ > limit_) Drain();
  if (BlocCount < 1) {
    // The first block goes out as it is; it fills one packed block exactly.
    std::memcpy(out_, current, kBlockSize);
    out_ += kBlockSize;
  } else {
    BlockCoder coder{out_, buffer_.get(), current};
    const BlockMask equal = EqualPositions(current, previous_.data());
    if (equal == kAllPositions) {
      coder.PackChangedSpan(0, kNone, kBlock, kBlock);
    } else {
      // An equal stretch of two or more positions ends a changed span and is
      // coded as copies; a single equal position stays inside the span. The
      // stretches start where a position and the next one are both equal.
      BlockMask starts = equal & (equal >> 1);
      int spanStart = 0;
      while (starts != 0) {
        const int copyStart = CountTrailingZeros(starts);
        const BlockMask unequalAfter = ~equal >> copyStart;
        const int copyLength =
            unequalAfter == 0 ? kBlock - copyStart : CountTrailingZeros(unequalAfter);
        const int copyEnd = copyStart + copyLength;
        coder.PackChangedSpan(spanStart, copyStart > spanStart ? copyStart - 1 : kNone, copyLength,
                              copyEnd);
        spanStart = copyEnd;
        if (spanStart >= kBlock) break;
        starts &= kAllPositions << spanStart;
      }
      if (spanStart < kBlock) coder.PackChangedSpan(spanStart, kBlock - 1, 0, kBlock);
    }
    out_ = coder.out;
  }
  std::memcpy(previous_.data(), current, kBlockSize);
}

}  // namespace xmodemquarvel::pack
