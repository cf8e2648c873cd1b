#include "pack/Packer.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace xmodemquarvel::pack {

namespace {

constexpr int kBlock = static_cast<int>(kBlockSize);

// One bit per position of a block, bit i for position i (from 0).
__extension__ using BlockMask = unsigned __int128;
constexpr BlockMask kAllPositions = ~BlockMask{0};

// 128 for an empty mask.
[[gnu::always_inline]] inline int CountTrailingZeros(BlockMask m) {
  const auto low = static_cast<std::uint64_t>(m);
  const auto high = static_cast<std::uint64_t>(m >> 64);
  // Without a branch: the lowest bit is as often in either half.
  return std::countr_zero(low) + (std::countr_zero(high) & -static_cast<int>(low == 0));
}

// The positions from `position` on; none for 128.
[[gnu::always_inline]] inline BlockMask From(int position) {
  return position >= kBlock ? 0 : kAllPositions << position;
}

// The first position of every stretch of set bits.
[[gnu::always_inline]] inline BlockMask StartsOf(BlockMask m) {
  return m & ~(m << 1);
}

// What the coder needs to know of each position of a block.
struct BlockMasks {
  BlockMask equal;   // the previous block holds the same character there
  BlockMask digit;   // '0' to '9'
  BlockMask repeat;  // the same character as at the position before; never position 0
  BlockMask space;
  BlockMask escape;  // a literal that needs an escape byte: codes 0-9 and 128-255
};

// Each mask function reads current[-1] for `repeat` and clears bit 0 after.
#if defined(__SSE2__)
BlockMasks MasksSse2(const std::uint8_t* current, const std::uint8_t* previous) {
  std::uint64_t bits[5][2] = {};
  const __m128i zero = _mm_set1_epi8('0');
  const __m128i nine = _mm_set1_epi8(9);
  const __m128i space = _mm_set1_epi8(static_cast<char>(kSpace));
  const __m128i firstLiteral = _mm_set1_epi8(static_cast<char>(kFirstLiteral));
  for (int k = 0; k < 8; ++k) {
    const auto load = [](const std::uint8_t* p) {
      return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    };
    const __m128i c = load(current + 16 * k);
    const __m128i value = _mm_sub_epi8(c, zero);
    const __m128i found[5] = {
        _mm_cmpeq_epi8(c, load(previous + 16 * k)),
        _mm_cmpeq_epi8(_mm_min_epu8(value, nine), value),
        _mm_cmpeq_epi8(c, load(current + 16 * k - 1)),
        _mm_cmpeq_epi8(c, space),
        // Signed, codes 128 to 255 compare below 0.
        _mm_cmplt_epi8(c, firstLiteral),
    };
    for (int f = 0; f < 5; ++f) {
      const auto m = static_cast<std::uint16_t>(_mm_movemask_epi8(found[f]));
      bits[f][k / 4] |= std::uint64_t{m} << (16 * (k % 4));
    }
  }
  const auto join = [&](int f) { return (BlockMask{bits[f][1]} << 64) | bits[f][0]; };
  return {join(0), join(1), join(2) & ~BlockMask{1}, join(3), join(4)};
}
#endif

#if defined(__x86_64__)
// The same, 32 positions a step.
[[gnu::target("avx2,bmi,bmi2")]] inline BlockMasks MasksAvx2(const std::uint8_t* current,
                                                             const std::uint8_t* previous) {
  std::uint64_t bits[5][2] = {};
  const __m256i zero = _mm256_set1_epi8('0');
  const __m256i nine = _mm256_set1_epi8(9);
  const __m256i space = _mm256_set1_epi8(static_cast<char>(kSpace));
  const __m256i firstLiteral = _mm256_set1_epi8(static_cast<char>(kFirstLiteral));
  for (int k = 0; k < 4; ++k) {
    const auto* at = reinterpret_cast<const __m256i*>(current + 32 * k);
    const __m256i c = _mm256_loadu_si256(at);
    const __m256i value = _mm256_sub_epi8(c, zero);
    const __m256i found[5] = {
        _mm256_cmpeq_epi8(c,
                          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(previous + 32 * k))),
        _mm256_cmpeq_epi8(_mm256_min_epu8(value, nine), value),
        _mm256_cmpeq_epi8(
            c, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(current + 32 * k - 1))),
        _mm256_cmpeq_epi8(c, space),
        _mm256_cmpgt_epi8(firstLiteral, c),
    };
    for (int f = 0; f < 5; ++f) {
      const auto m = static_cast<std::uint32_t>(_mm256_movemask_epi8(found[f]));
      bits[f][k / 2] |= std::uint64_t{m} << (32 * (k % 2));
    }
  }
  const auto join = [&](int f) { return (BlockMask{bits[f][1]} << 64) | bits[f][0]; };
  return {join(0), join(1), join(2) & ~BlockMask{1}, join(3), join(4)};
}
#endif

// The masks of processors without SSE2, built everywhere so that the tests
// run them too.
BlockMasks MasksPlain(const std::uint8_t* current, const std::uint8_t* previous) {
  BlockMasks m{};
  for (int i = 0; i < kBlock; ++i) {
    const BlockMask bit = BlockMask{1} << i;
    const std::uint8_t c = current[i];
    if (c == previous[i]) m.equal |= bit;
    if (IsDigit(c)) m.digit |= bit;
    if (i > 0 && c == current[i - 1]) m.repeat |= bit;
    if (c == kSpace) m.space |= bit;
    if (c >= kSpaceCodeBase || c < kFirstLiteral) m.escape |= bit;
  }
  return m;
}

// Copies n bytes (0 to 128) in pieces of 16: up to 16 bytes past the end
// are read and written too. Returns the end of the n bytes.
[[gnu::always_inline]] inline std::uint8_t* CopyPieces(std::uint8_t* to, const std::uint8_t* from,
                                                       int n) {
  std::memcpy(to, from, 16);
  for (int k = 16; k < n; k += 16) std::memcpy(to + k, from + k, 16);
  return to + n;
}

// Writes the values of a digit string after its first one, two to a byte,
// the first of a pair in the high half; values are held as the characters
// '0' + value. The half after the last value is 15, and a string that ends
// on a full pair gets one more byte of two 15s: so the last byte is the
// string's end, and `count` values take (count + 2) / 2 bytes.
// kPlain: one byte at a time, as on processors without SSE2.
template <bool kPlain>
[[gnu::always_inline]] inline void PackPairs(std::uint8_t* out, const std::uint8_t* values,
                                             int count) {
  const int bytes = (count + 2) / 2;
#if defined(__SSE2__)
  if constexpr (!kPlain) {
    const __m128i lane = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    // At least two values follow a string's first, so one step always runs.
    int k = 0;
    do {
      // 16 values make 8 bytes; lanes at or after `count` become 15.
      const __m128i v = _mm_sub_epi8(
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(values + 2 * k)), _mm_set1_epi8('0'));
      const __m128i after =
          _mm_cmpgt_epi8(lane, _mm_set1_epi8(static_cast<char>(count - 2 * k - 1)));
      const __m128i nibbles = _mm_and_si128(_mm_or_si128(v, after), _mm_set1_epi8(0x0F));
      // Each 16-bit lane holds a pair, the first value in its low byte.
      const __m128i pairs =
          _mm_or_si128(_mm_and_si128(_mm_slli_epi16(nibbles, 4), _mm_set1_epi16(0xF0)),
                       _mm_srli_epi16(nibbles, 8));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out + k), _mm_packus_epi16(pairs, pairs));
      k += 8;
    } while (k < bytes);
    return;
  }
#endif
  const auto value = [&](int i) { return i < count ? values[i] - kDigitZero : kNibbleEnd; };
  for (int k = 0; k < bytes; ++k) {
    out[k] = static_cast<std::uint8_t>(value(2 * k) << 4 | value(2 * k + 1));
  }
}

// The coding of one block against the one before. It lives on the stack
// while a block is coded, so that the output pointer stays in a register:
// stores through it could otherwise alias the packer's members.
//
// A block is coded as a sequence of pieces, each a stretch of one kind:
// copies (two or more positions equal to the previous block), a digit
// string (four or more digits among the changed positions) or ordinary
// characters (the other changed positions). Masks of the whole block find
// the pieces and what inside them needs more than a plain copy, so the
// coder works per piece and per run rather than per character. The masks
// `longRuns` and `codedRuns` are used up from the lowest position as the
// pieces go by, so their lowest bit is always at or after the piece being
// coded.
struct BlockCoder {
  std::uint8_t* out;
  const std::uint8_t* base;  // a packed block boundary
  const std::uint8_t* current;
  std::uint8_t* values;  // room for the values of one digit string
  // The fourth and later digits of every run of four or more equal digits
  // in a digit string.
  BlockMask longRuns;
  // The first positions of the runs of ordinary characters that are not
  // their own coding: two spaces or more, three equal characters or more,
  // escaped characters.
  BlockMask codedRuns;
  // Ordinary positions that start a run of equal characters.
  BlockMask runStarts;

  void PackCopies(int equalRun, int scanEnd);
  void PackOrdinary(int from, int to);
  template <bool kPlain>
  void PackDigitString(int from, int to);
  void PackRun(int count, std::uint8_t c);
  void PutEscaped(std::uint8_t c);
  [[gnu::always_inline]] void PutPackedByte(std::uint8_t b) { *out++ = b; }
  // Number of bytes in the packed block being filled.
  [[gnu::always_inline]] std::size_t FillCount() const {
    return static_cast<std::size_t>(out - base) % kBlockSize;
  }
};

// The equal run covers the positions scanEnd - equalRun to scanEnd - 1.
[[gnu::always_inline]] inline void BlockCoder::PackCopies(int equalRun, int scanEnd) {
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

// Ordinary characters from to to - 1. Most pieces are their own coding and
// are copied whole; in the others, the runs that need codes are coded and
// the characters between them copied.
[[gnu::always_inline]] inline void BlockCoder::PackOrdinary(int from, int to) {
  int at = from;
  while (CountTrailingZeros(codedRuns) < to) {
    const int start = CountTrailingZeros(codedRuns);
    codedRuns &= codedRuns - 1;
    out = CopyPieces(out, current + at, start - at);
    at = std::min(to, CountTrailingZeros(runStarts & From(start + 1)));
    PackRun(at - start, current[start]);
  }
  out = CopyPieces(out, current + at, to - at);
}

// The digits from to to - 1 (four or more). Runs of up to three equal
// digits are one value per digit; a run of four or more is the digit and a
// repeat of values. Without such runs the characters are the values.
template <bool kPlain>
[[gnu::always_inline]] inline void BlockCoder::PackDigitString(int from, int to) {
  const std::uint8_t* string = current + from;
  int count = to - from;
  if (CountTrailingZeros(longRuns) < to) {
    std::uint8_t* v = values;
    int at = from;
    do {
      const int fourth = CountTrailingZeros(longRuns);
      const int start = fourth - 3;
      // fourth >= 3, so the shifted mask has a clear top bit.
      const int end = fourth + CountTrailingZeros(~(longRuns >> fourth));
      v = CopyPieces(v, current + at, start - at);
      const std::uint8_t digit = current[start];
      int n = end - start;
      // 31 digits: the digit, then 16 + 14 more.
      while (n > kMaxDigitRun) {
        *v++ = digit;
        *v++ = static_cast<std::uint8_t>(kDigitZero + kNibbleRepeatLong);
        *v++ = static_cast<std::uint8_t>(kDigitZero + kMaxDigitRun - 1 - kLongRepeatBase);
        n -= kMaxDigitRun;
      }
      if (n >= kMinDigitString) {
        *v++ = digit;
        const bool isLong = n > kLongRepeatBase;
        *v++ = static_cast<std::uint8_t>(kDigitZero + (isLong ? kNibbleRepeatLong : kNibbleRepeat));
        *v++ = static_cast<std::uint8_t>(kDigitZero + n - 1 - (isLong ? kLongRepeatBase : 0));
      } else {
        for (; n > 0; --n) *v++ = digit;
      }
      at = end;
      longRuns &= From(end);
    } while (CountTrailingZeros(longRuns) < to);
    v = CopyPieces(v, current + at, to - at);
    string = values;
    count = static_cast<int>(v - values);
  }
  // The first value goes out alone, as a byte 0 to 9; the rest in pairs.
  PutPackedByte(static_cast<std::uint8_t>(string[0] - kDigitZero));
  PackPairs<kPlain>(out, string + 1, count - 1);
  out += (count + 1) / 2;
}

[[gnu::always_inline]] inline void BlockCoder::PackRun(int count, std::uint8_t c) {
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

[[gnu::always_inline]] inline void BlockCoder::PutEscaped(std::uint8_t c) {
  if (c >= kSpaceCodeBase || c < kFirstLiteral) {
    PutPackedByte(c == kEscape ? kEscapeBeforeEscape : kEscape);
  }
  PutPackedByte(c);
}

// Codes one block against the one before; returns the end of its code.
template <bool kPlain = false>
[[gnu::always_inline]] inline std::uint8_t* CodeBlock(const BlockMasks& m, std::uint8_t* out,
                                                      const std::uint8_t* base,
                                                      const std::uint8_t* current,
                                                      std::uint8_t* values) {
  // An equal stretch of two or more positions is coded as copies; a single
  // equal position stays among the changed ones. Among those, a stretch of
  // four or more digits is a digit string.
  const BlockMask copies = m.equal & ((m.equal >> 1) | (m.equal << 1));
  const BlockMask digits = m.digit & ~copies;
  const BlockMask fours = digits & (digits >> 1) & (digits >> 2) & (digits >> 3);
  const BlockMask strings = fours | (fours << 1) | (fours << 2) | (fours << 3);
  const BlockMask ordinary = ~copies & ~strings;
  // Runs of equal characters inside a piece of each kind.
  const BlockMask stringRepeat = m.repeat & strings & (strings << 1);
  const BlockMask ordinaryRepeat = m.repeat & ordinary & (ordinary << 1);
  BlockCoder coder{
      .out = out,
      .base = base,
      .current = current,
      .values = values,
      .longRuns = stringRepeat & (stringRepeat << 1) & (stringRepeat << 2),
      .codedRuns = ordinary & ~ordinaryRepeat &
                   (m.escape | (m.space & (ordinaryRepeat >> 1)) |
                    ((ordinaryRepeat >> 1) & (ordinaryRepeat >> 2))),
      .runStarts = ordinary & ~ordinaryRepeat,
  };
  const BlockMask copyStarts = StartsOf(copies);
  const BlockMask stringStarts = StartsOf(strings);
  BlockMask starts = copyStarts | stringStarts | StartsOf(ordinary);
  // A block may open with copies; every other copy piece follows a changed one.
  if ((copyStarts & 1) != 0) {
    starts ^= 1;
    const int to = CountTrailingZeros(starts);
    coder.PackCopies(to, to);
  }
  while (starts != 0) {
    const BlockMask first = starts & (0 - starts);
    const int from = CountTrailingZeros(starts);
    starts ^= first;
    const int to = CountTrailingZeros(starts);
    if ((stringStarts & first) != 0) {
      coder.PackDigitString<kPlain>(from, to);
    } else {
      coder.PackOrdinary(from, to);
    }
    // The copies that follow, if any. Most fit one code, written without a
    // branch: when no copies follow, the run is 0 and the byte is not kept.
    const BlockMask copy = copyStarts & starts & (0 - starts);
    starts ^= copy;
    const int copyEnd = CountTrailingZeros(starts);
    const int run = (copyEnd - to) & -static_cast<int>(copy != 0);
    if (run > kMaxCopyCount) {
      coder.PackCopies(run, copyEnd);
    } else {
      *coder.out = static_cast<std::uint8_t>(kCopyCodeBase + run);
      coder.out += run != 0;
    }
  }
  return coder.out;
}

// The coder of processors without SSE2.
std::uint8_t* CodeBlockPlain(const std::uint8_t* current, const std::uint8_t* previous,
                             std::uint8_t* out, const std::uint8_t* base, std::uint8_t* values) {
  return CodeBlock<true>(MasksPlain(current, previous), out, base, current, values);
}

// The coder as built for any processor of the target architecture.
std::uint8_t* CodeBlockPortable(const std::uint8_t* current, const std::uint8_t* previous,
                                std::uint8_t* out, const std::uint8_t* base, std::uint8_t* values) {
#if defined(__SSE2__)
  return CodeBlock(MasksSse2(current, previous), out, base, current, values);
#else
  return CodeBlockPlain(current, previous, out, base, values);
#endif
}

#if defined(__x86_64__)
// The same coder built for processors with AVX2, BMI1 and BMI2: besides the
// wider mask step, the 128-bit masks then take fewer instructions.
[[gnu::target("avx2,bmi,bmi2")]] std::uint8_t* CodeBlockAvx2(const std::uint8_t* current,
                                                             const std::uint8_t* previous,
                                                             std::uint8_t* out,
                                                             const std::uint8_t* base,
                                                             std::uint8_t* values) {
  return CodeBlock(MasksAvx2(current, previous), out, base, current, values);
}
#endif

// The fastest coder that can run here.
Packer::Coder BestCoder() {
#if defined(__x86_64__)
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
      __builtin_cpu_supports("bmi2"))
    return Packer::Coder::kAvx2;
#endif
  return Packer::Coder::kPortable;
}

std::uint8_t* CodeWith(Packer::Coder coder, const std::uint8_t* current,
                       const std::uint8_t* previous, std::uint8_t* out, const std::uint8_t* base,
                       std::uint8_t* values) {
#if defined(__x86_64__)
  if (coder == Packer::Coder::kAvx2) return CodeBlockAvx2(current, previous, out, base, values);
#endif
  if (coder == Packer::Coder::kPlain) return CodeBlockPlain(current, previous, out, base, values);
  return CodeBlockPortable(current, previous, out, base, values);
}

}  // namespace

Packer::Packer(ByteSink& target, std::size_t bufferSize)
    : target_(target), size_(std::max(bufferSize, kMinBufferSize)), coder_(BestCoder()) {
  for (auto& buffer : buffers_)
    buffer = std::make_unique_for_overwrite<std::uint8_t[]>(size_ + kStoreSlack);
  base_ = buffers_[0].get();
  out_ = base_;
}

void Packer::Drain() {
  const std::size_t used = static_cast<std::size_t>(out_ - base_);
  const std::size_t whole = used - used % kBlockSize;
  if (whole == 0) return;
  target_.Write({base_, whole});
  // The target may go on reading what it was given until the next Write:
  // the packed block being filled moves to the other buffer.
  std::uint8_t* const other = base_ == buffers_[0].get() ? buffers_[1].get() : buffers_[0].get();
  std::memcpy(other, base_ + whole, used - whole);
  base_ = other;
  out_ = base_ + (used - whole);
}

void Packer::Finish() {
  Drain();
  const std::size_t fill = FillCount();
  endBlock_.fill(kEndFiller);
  endBlock_[0] = static_cast<std::uint8_t>(fill);
  std::memcpy(endBlock_.data() + 1, base_, fill);
  target_.Write({endBlock_.data(), endBlock_.size()});
  out_ = base_;
}

void Packer::PackBlock(const std::uint8_t* current, std::int64_t BlocCount) {
  if (out_ > base_ + size_ - kMaxBlockCode) Drain();
  std::memcpy(current_, current, kBlockSize);
  if (BlocCount < 1) {
    // The first block goes out as it is; it fills one packed block exactly.
    std::memcpy(out_, current, kBlockSize);
    out_ += kBlockSize;
  } else {
    out_ = CodeWith(coder_, current_, previous_, out_, base_, values_.data());
  }
  std::swap(current_, previous_);
}

std::span<const std::uint8_t> Packer::CodeOf(const std::uint8_t* previous,
                                             const std::uint8_t* current, std::size_t fill,
                                             std::uint8_t before, CodeRoom& room) {
  static const Coder coder = BestCoder();
  // The two blocks with the room around them that the coder reads.
  alignas(32) std::array<std::uint8_t, kHeldSize> held[2]{};
  std::memcpy(held[0].data() + kHeldBefore, current, kBlockSize);
  std::memcpy(held[1].data() + kHeldBefore, previous, kBlockSize);
  std::array<std::uint8_t, kBlockSize + 32> values{};
  // The room starts on a packed block boundary; the code follows `fill`
  // bytes, of which only the last is ever read.
  std::uint8_t* const start = room.data() + fill;
  if (fill > 0) start[-1] = before;
  const std::uint8_t* const end =
      CodeWith(coder, held[0].data() + kHeldBefore, held[1].data() + kHeldBefore, start,
               room.data(), values.data());
  return {start, end};
}

}  // namespace xmodemquarvel::pack
