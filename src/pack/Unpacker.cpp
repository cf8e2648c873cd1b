#include "pack/Unpacker.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <type_traits>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace xmodemquarvel::pack {

namespace {

constexpr std::size_t kPiece = Unpacker::kCodePiece;
// One code byte writes at most two digit repeats of 31 characters; the fixed
// size stores below may write up to kStoreSlack bytes past the output.
constexpr std::size_t kMaxOutputPerByte = 2 * kMaxDigitRun;
constexpr std::size_t kStoreSlack = 64;
constexpr std::size_t kPieceRoom = kPiece * kMaxOutputPerByte + kStoreSlack;
// The decoder may read this many bytes past the end of the code it is given.
constexpr std::size_t kReadPast = 16;

}  // namespace

Unpacker::Unpacker(ByteSink& target, std::size_t outputSize, RecodeCheck check)
    : target_(target), size_(2 * kBlockSize + outputSize) {
  for (auto& buffer : buffers_)
    buffer = std::make_unique_for_overwrite<std::uint8_t[]>(size_ + kPieceRoom);
  base_ = buffers_[0].get();
  flushed_ = base_ + kBlockSize;
#if defined(__x86_64__)
  avx2_ = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi");
#endif
  // Until Start, the previous block is all NULs and there is no output.
  std::memset(base_, 0, kBlockSize);
  state_.out = base_ + kBlockSize;
  check_.kind = check;
  // The code of the first coded block starts with the stream.
  check_.phase = check == RecodeCheck::kNone ? Phase::kIdle : Phase::kGathering;
  check_.stop = 2 * kBlockSize;
}

void Unpacker::Start(const std::uint8_t* firstBlock) {
  std::memcpy(base_, firstBlock, kBlockSize);
  flushed_ = base_;
  state_ = State{};
  state_.out = base_ + kBlockSize;
}

void Unpacker::Drain() {
  const std::size_t fill = static_cast<std::size_t>(state_.out - base_) % kBlockSize;
  std::uint8_t* const complete = state_.out - fill;
  // The last complete block, already written, stays as the previous block.
  std::uint8_t* const kept = complete - kBlockSize;
  std::uint8_t* to = base_;
  if (complete > flushed_) {
    target_.Write({flushed_, static_cast<std::size_t>(complete - flushed_)});
    // The target may go on reading what it was given until the next Write:
    // decoding goes on in the other buffer.
    to = base_ == buffers_[0].get() ? buffers_[1].get() : buffers_[0].get();
  }
  std::memmove(to, kept, kBlockSize + fill);
  origin_ += kept - base_;
  base_ = to;
  flushed_ = base_ + kBlockSize;
  state_.out = flushed_ + fill;
}

void Unpacker::Finish() {
  Drain();
}

void Unpacker::UnpackBytes(std::span<const std::uint8_t> code) {
  const std::uint8_t* p = code.data();
  const std::uint8_t* const end = p + code.size();
  while (p != end) {
    // Pieces start every kPiece bytes of the stream, however it comes.
    const std::size_t piece = std::min(kPiece - static_cast<std::size_t>(codeCount_) % kPiece,
                                       static_cast<std::size_t>(end - p));
    if (state_.out > base_ + size_) Drain();
    if (p != code.data() && static_cast<std::size_t>(end - p) >= piece + kReadPast) {
      // Inside the bytes given, with the byte before and enough after: in
      // place.
      DecodePiece(p, p + piece);
      staging_[0] = p[piece - 1];
    } else {
      // A copy, with the byte before in front and room after; whole
      // pieces, the usual case, in a copy of fixed size.
      if (piece == kPiece) {
        std::memcpy(staging_.data() + 1, p, kPiece);
      } else {
        std::memcpy(staging_.data() + 1, p, piece);
      }
      DecodePiece(staging_.data() + 1, staging_.data() + 1 + piece);
      staging_[0] = staging_[piece];
    }
    codeCount_ += static_cast<std::int64_t>(piece);
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

namespace {

// The decoder runs one table lookup per code byte. Its mode says how the
// byte is read: outside digit mode, in digit mode, after an escape byte, or
// (for repeats, which need a count) by the general rules one byte at a time.
enum Mode : std::uint8_t { kNormal = 0, kDigits = 1, kEscaped = 2, kGeneral = 3 };

// What a byte does in a mode: write `length` bytes taken from kConstants at
// `offset` or, for copy codes (kFromPrevious), from the previous block;
// maybe set the last character (kSetsLast); switch to the mode in the flags'
// low bits.
struct Entry {
  std::uint16_t offset;
  std::uint8_t length;
  std::uint8_t flags;
  std::uint8_t lastChar;
};
constexpr std::uint8_t kNextModeMask = 0x03;
constexpr std::uint8_t kFromPrevious = 0x04;
constexpr std::uint8_t kSetsLast = 0x08;
constexpr std::uint8_t kByRules = 0x10;

// Every byte value at its own offset, the hundred digit pairs "00" to "99",
// and spaces; with room after each for the fixed-size stores below.
constexpr std::size_t kPairsAt = 256;
constexpr std::size_t kSpacesAt = kPairsAt + 200 + kStoreSlack;
constexpr auto kConstants = [] {
  std::array<std::uint8_t, kSpacesAt + kStoreSlack> t{};
  for (std::size_t i = 0; i < kPairsAt; ++i) t[i] = static_cast<std::uint8_t>(i);
  for (std::size_t pair = 0; pair < 100; ++pair) {
    t[kPairsAt + 2 * pair] = static_cast<std::uint8_t>(kDigitZero + pair / 10);
    t[kPairsAt + 2 * pair + 1] = static_cast<std::uint8_t>(kDigitZero + pair % 10);
  }
  for (std::size_t i = kSpacesAt; i < t.size(); ++i) t[i] = kSpace;
  return t;
}();

// The last byte that an entry writes; it becomes the last character when
// the entry sets it.
constexpr std::uint8_t LastWritten(int length, std::size_t offset) {
  if (length == 0) return 0;
  if (offset >= kPairsAt)
    return static_cast<std::uint8_t>(kDigitZero + (offset - kPairsAt) / 2 % 10);
  return static_cast<std::uint8_t>(offset);
}

constexpr Entry Write(int length, std::size_t offset, Mode next, bool setsLast) {
  return {static_cast<std::uint16_t>(offset), static_cast<std::uint8_t>(length),
          static_cast<std::uint8_t>(next | (setsLast ? kSetsLast : 0)),
          LastWritten(length, offset)};
}
constexpr Entry kByRulesEntry = {0, 0, kByRules, 0};

// A byte in digit mode with no repeat pending: two 4-bit values, high first.
// Both are decoded even when the first ends digit mode. Values 11 and 12
// start a repeat and go by the general rules.
constexpr Entry DigitModeEntry(int high, int low) {
  const auto repeat = [](int v) { return v == kNibbleRepeat || v == kNibbleRepeatLong; };
  if (repeat(high) || repeat(low)) return kByRulesEntry;
  const bool ends = high == kNibbleEnd || low == kNibbleEnd;
  const Mode next = ends ? kNormal : kDigits;
  const bool highDigit = high <= 9;
  const bool lowDigit = low <= 9;
  if (highDigit && lowDigit) return Write(2, kPairsAt + 2 * (10 * high + low), next, true);
  if (highDigit) return Write(1, kDigitZero + high, next, true);
  if (lowDigit) return Write(1, kDigitZero + low, next, true);
  return Write(0, 0, next, false);
}

constexpr auto kEntries = [] {
  std::array<std::array<Entry, 256>, 4> t{};
  for (int c = 0; c < 256; ++c) {
    const auto i = static_cast<std::size_t>(c);
    Entry& e = t[kNormal][i];
    if (c <= kLastDigitStart) {
      // The decoder built for AVX2 decodes the whole digit string at once
      // (see DecodeLoop); the others take it byte by byte like any other.
      e = Write(1, kDigitZero + c, kDigits, true);
    } else if (c <= kLastLowLiteral || c >= kFirstHighLiteral) {
      e = Write(1, i, kNormal, true);
    } else if (c <= kLastSpaceCode) {
      e = Write(c - kSpaceCodeBase, kSpacesAt, kNormal, false);
    } else if (c <= kLastRepeatCode) {
      e = kByRulesEntry;
    } else if (c <= kLastCopyCode) {
      e = {0, static_cast<std::uint8_t>(c - kCopyCodeBase), kNormal | kFromPrevious, 0};
    } else {
      e = Write(0, 0, kEscaped, false);
    }
    t[kDigits][i] = DigitModeEntry(c >> 4, c & 0x0F);
    // An escaped byte is written as it is and does not become the last
    // character.
    t[kEscaped][i] = Write(1, i, kNormal, false);
    t[kGeneral][i] = kByRulesEntry;
  }
  return t;
}();

// The current mode is held as kModeStride times the mode plus kModeBias. Its
// low byte, 16 times the mode, is the shift to the mode's own 16-bit field in
// kNextModes, and its second byte, 16 plus the mode, a field length that
// takes in at most three more bits, which are zero: the value is at once the
// control word of a bit-field extraction.
constexpr std::size_t kModeStride = 272;
constexpr std::size_t kModeBias = 4096;
constexpr std::size_t ModeValue(unsigned m) {
  return kModeStride * m + kModeBias;
}

// The decoding loop's view of the entries: each one 64-bit word, the length
// in bits 0-7, the flags in bits 16-23 and the offset in bits 32-63, so that
// each field costs at most a shift. The table of mode m starts at the mode's
// value; the words before the first are never read. The loop does not follow
// the last character: outside the general mode, the only time it is used is
// in digit mode, where it is always the last character written.
constexpr std::uint64_t Word(const Entry& e) {
  return e.length | std::uint64_t{e.flags} << 16 | std::uint64_t{e.offset} << 32;
}
constexpr auto kWords = [] {
  std::array<std::uint64_t, ModeValue(3) + 256> t{};
  for (unsigned m = 0; m < 4; ++m)
    for (std::size_t c = 0; c < 256; ++c) t[ModeValue(m) + c] = Word(kEntries[m][c]);
  return t;
}();

// Where each entry's bytes come from in the constants, as addresses laid
// out like kWords; copy codes replace theirs with the previous block.
constexpr auto kSources = [] {
  std::array<const std::uint8_t*, kWords.size()> t{};
  for (std::size_t i = 0; i < t.size(); ++i) t[i] = kConstants.data() + (kWords[i] >> 32);
  return t;
}();

// The mode after each byte, for each mode the byte may be read in: 16 bits
// per mode, each the next mode's value, so that following the mode from
// byte to byte costs a bit-field extraction rather than a table load.
// General-mode bytes and repeats leave the loop and get their next mode by
// the rules.
static_assert(kModeStride % 64 == 16 && kModeBias % 256 == 0 && ModeValue(3) < 65536);
static_assert(ModeValue(0) % 16 == 0 && kModeStride % 16 == 0);
constexpr auto kNextModes = [] {
  std::array<std::uint64_t, 256> t{};
  for (std::size_t c = 0; c < 256; ++c) {
    std::uint64_t bits = 0;
    for (unsigned m = 0; m < 4; ++m) {
      const unsigned next = m == kGeneral ? kGeneral : kEntries[m][c].flags & kNextModeMask;
      bits |= std::uint64_t{ModeValue(next)} << (16 * m);
    }
    t[c] = bits;
  }
  return t;
}();

// Every store writes a fixed size, at most this many bytes and never fewer
// than the real length, and then moves on by the real length: the bytes past
// the output are overwritten later or never written out.
constexpr std::size_t kStore = kMaxSpaceCount + 1;
static_assert(kStore >= kMaxCopyCount + 1 && kStore <= kStoreSlack);
// A copy reads one block behind the output and must not overlap it.
static_assert(kStore <= kBlockSize);

}  // namespace

// Writes count copies of c. Counts come from one repeat code or from one
// digit repeat (16 + 15 at most), so one fixed-size store covers them.
void Unpacker::PutRepeated(State& s, std::uint8_t c, int count) {
  if (count > 32) [[unlikely]] {
    std::memset(s.out, c, static_cast<std::size_t>(count));
  } else {
    std::memset(s.out, c, 32);
  }
  s.out += count;
}

void Unpacker::UnpackNibble(State& s, int value) {
  if (s.repeatPending) {
    PutRepeated(s, s.lastChar, s.pendingCount + value);
    s.repeatPending = false;
    s.pendingCount = 0;
  } else if (value <= 9) {
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

// One byte by the full rules, for repeats and for the corrupt streams that
// leave a repeat pending outside digit mode.
void Unpacker::UnpackByRules(State& s, std::uint8_t c) {
  if (s.mode != kGeneral) {
    s.digitMode = s.mode == kDigits;
    s.escape = s.mode == kEscaped;
    s.repeatPending = false;
    s.pendingCount = 0;
  }
  if (s.digitMode) {
    UnpackNibble(s, c >> 4);
    UnpackNibble(s, c & 0x0F);
  } else if (s.pendingCount > 0) {
    // A repeat code governs the next byte, whatever its value; the last
    // character stays.
    PutRepeated(s, c, s.pendingCount);
    s.pendingCount = 0;
  } else if (s.escape) {
    PutUnpackedChar(s, c);
    s.escape = false;
  } else if (c <= kLastDigitStart) {
    s.digitMode = true;
    UnpackNibble(s, c);
  } else if (c >= kRepeatCodeBase && c <= kLastRepeatCode) {
    // 176 sets a count of 0, which governs nothing.
    s.pendingCount = c - kRepeatCodeBase;
  } else {
    // Only reached with a digit repeat pending outside digit mode; every
    // other byte decodes as usual.
    const Entry e = kEntries[kNormal][c];
    const std::uint8_t* from =
        e.flags & kFromPrevious ? s.out - kBlockSize : kConstants.data() + e.offset;
    std::memcpy(s.out, from, kStore);
    s.out += e.length;
    if (e.flags & kSetsLast) s.lastChar = e.lastChar;
    s.escape = (e.flags & kNextModeMask) == kEscaped;
  }
  // The loop takes the last character of digit mode from the output; until
  // they agree (after a corrupt stream), the rules go on.
  s.mode = s.repeatPending || s.pendingCount > 0 ? kGeneral
           : s.digitMode                         ? (s.lastChar == s.out[-1] ? kDigits : kGeneral)
           : s.escape                            ? kEscaped
                                                 : kNormal;
}

namespace {

// What differs by instruction set: following the mode (a shift and a mask,
// or one bit-field extraction), the fixed-size store of every code byte, and
// whether digit strings are decoded whole.
struct PortableOps {
  static constexpr bool kWholeStrings = false;
  static std::size_t NextMode(std::uint64_t next, std::size_t mode) {
    return (next >> (mode % 64)) & 0xFFFFu;
  }
  static void Copy(std::uint8_t* to, const std::uint8_t* from, std::size_t) {
    std::memcpy(to, from, kStore);
  }
  static const std::uint8_t* DigitString(const std::uint8_t* code, const std::uint8_t*,
                                         std::uint8_t*&, std::size_t&) {
    return code;
  }
};

#if defined(__x86_64__)
struct Avx2Ops {
  static constexpr bool kWholeStrings = true;
  [[gnu::target("avx2,bmi")]] static std::size_t NextMode(std::uint64_t next, std::size_t mode) {
    return __bextr_u64(next, mode);
  }
  // One 32-byte move, and a 16-byte one for the rare longer codes (runs of
  // spaces and copies of more than 32): one load and one store fewer for
  // almost every code byte.
  [[gnu::target("avx2,bmi")]] static void Copy(std::uint8_t* to, const std::uint8_t* from,
                                               std::size_t length) {
    static_assert(kStore == 48);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to),
                        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from)));
    if (length > 32) [[unlikely]]
      _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 32),
                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 32)));
  }
  // The 32 digits of the values in `first` and `second` taken in turn, in
  // one 32-byte store.
  [[gnu::target("avx2,bmi")]] static void StoreDigits(std::uint8_t* to, __m128i first,
                                                      __m128i second) {
    const __m256i values =
        _mm256_set_m128i(_mm_unpackhi_epi8(first, second), _mm_unpacklo_epi8(first, second));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to),
                        _mm256_add_epi8(values, _mm256_set1_epi8(static_cast<char>(kDigitZero))));
  }
  // `count` (0 to 31) copies of c, in one 32-byte store.
  [[gnu::target("avx2,bmi")]] static void Repeat(std::uint8_t* to, std::uint8_t c) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), _mm256_set1_epi8(static_cast<char>(c)));
  }
  // Decodes the digit string that the digit-mode start at `code` opens, 16
  // bytes a step: the bytes of two digits, a repeat of the last digit, and the
  // byte that ends the string as the packer writes them. Stops in digit mode
  // before any other byte, which the table then decodes, and at `end` (the
  // bytes up to 16 past it may be read, never used). Returns where it
  // stopped; `out` and `mode` follow. In digit mode the last character
  // written is the digit that a repeat writes.
  //
  // Most strings are short and plain: the start, a few bytes of two digits
  // and the end byte, all within 16 bytes. The first step decodes those with
  // one test; the others go on byte by byte from where it stopped.
  [[gnu::target("avx2,bmi")]] static const std::uint8_t* DigitString(const std::uint8_t* code,
                                                                     const std::uint8_t* end,
                                                                     std::uint8_t*& out,
                                                                     std::size_t& mode) {
    const __m128i low = _mm_set1_epi8(0x0F);
    const __m128i ten = _mm_set1_epi8(10);
    bool step;
    // The start byte (0 to 9) reads as the values 0 and the first digit, so
    // the string's digits are the low half of each byte then the high half of
    // the next: with the high halves moved one byte down, they interleave.
    {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(code));
      const __m128i high = _mm_and_si128(_mm_srli_epi16(v, 4), low);
      const __m128i lows = _mm_and_si128(v, low);
      const __m128i next = _mm_srli_si128(high, 1);
      StoreDigits(out, lows, next);
      const auto mask = [](__m128i m) { return static_cast<unsigned>(_mm_movemask_epi8(m)); };
      const __m128i highDigit = _mm_cmplt_epi8(high, ten);
      const unsigned plain = mask(_mm_cmplt_epi8(_mm_max_epu8(high, lows), ten));
      // End bytes: a last digit then 15, or two 15s.
      const __m128i lowEnd = _mm_cmpeq_epi8(lows, low);
      const unsigned endsAfterDigit = mask(_mm_and_si128(lowEnd, highDigit));
      const unsigned ends = endsAfterDigit | mask(_mm_and_si128(lowEnd, _mm_cmpeq_epi8(high, low)));
      // The bytes that may be used: up to `end`, 16 at most.
      const auto avail = static_cast<unsigned>(std::min<std::ptrdiff_t>(end - code, 16));
      // The first byte whose low half is 15, 16 when there is none, found
      // by scalar operations alone: where the next code byte is read waits
      // on this short path rather than on the vector compares. The string
      // ends there as the packer writes it when every byte before it holds
      // two digits and it is an end byte.
      std::uint64_t first;
      std::uint64_t second;
      std::memcpy(&first, code, 8);
      std::memcpy(&second, code + 8, 8);
      constexpr std::uint64_t kLows = 0x0F0F0F0F0F0F0F0F;
      constexpr std::uint64_t kOnes = 0x0101010101010101;
      constexpr std::uint64_t kCarries = 0x1010101010101010;
      const std::uint64_t firstEnds = ((first & kLows) + kOnes) & kCarries;
      const std::uint64_t secondEnds = ((second & kLows) + kOnes) & kCarries;
      const auto last = static_cast<unsigned>(
          (std::countr_zero(firstEnds) + (firstEnds == 0 ? std::countr_zero(secondEnds) : 0)) / 8);
      if (last < avail && (ends >> last & 1) && (~plain & ((1u << last) - 1)) == 0) [[likely]] {
        out += 2 * last - 1 + (endsAfterDigit >> last & 1);
        mode = ModeValue(kNormal);
        return code + last + 1;
      }
      // The start and the bytes of two digits after it: 1 to 16.
      auto k = static_cast<unsigned>(std::countr_one(plain));
      k = std::min(k, avail);
      out += 2 * k - 1;
      code += k;
      mode = ModeValue(kDigits);
      if (code == end) return code;
      // All 16 bytes held digits: on with the next 16. Otherwise the store
      // above wrote the high half of the byte at `code`, as a digit, at `out`.
      step = k == 16;
    }
    return DigitLoop(code, end, out, mode, step);
  }

  // Goes on with a digit string at `code`: with `step`, 16 bytes a step;
  // otherwise at a byte that holds no two digits, whose high half is already
  // written, as a digit, at `out`.
  [[gnu::target("avx2,bmi")]] static const std::uint8_t* DigitLoop(const std::uint8_t* code,
                                                                   const std::uint8_t* end,
                                                                   std::uint8_t*& out,
                                                                   std::size_t& mode, bool step) {
    const __m128i low = _mm_set1_epi8(0x0F);
    const __m128i ten = _mm_set1_epi8(10);
    while (true) {
      if (step) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(code));
        const __m128i high = _mm_and_si128(_mm_srli_epi16(v, 4), low);
        const __m128i lows = _mm_and_si128(v, low);
        const auto plain = static_cast<std::uint32_t>(
            _mm_movemask_epi8(_mm_cmplt_epi8(_mm_max_epu8(high, lows), ten)));
        // The bytes of two digits before the first that is not one.
        const int n =
            std::countr_one(plain & ((1u << std::min<std::ptrdiff_t>(end - code, 16)) - 1));
        StoreDigits(out, high, lows);
        out += 2 * n;
        code += n;
        if (code == end) break;
        if (n == 16) continue;
      }
      step = true;
      // The store above wrote this byte's high half, as a digit, at `out`.
      const unsigned h = *code >> 4;
      const unsigned l = *code & 0x0F;
      if (l == kNibbleEnd && (h <= 9 || h == kNibbleEnd)) {
        out += h <= 9;
        mode = ModeValue(kNormal);
        ++code;
        break;
      }
      if (h == kNibbleRepeat || h == kNibbleRepeatLong) {
        Repeat(out, out[-1]);
        out += l + (h == kNibbleRepeatLong ? kLongRepeatBase : 0);
        ++code;
        continue;
      }
      // A digit then a repeat whose count is the next byte's high half.
      if (h > 9 || (l != kNibbleRepeat && l != kNibbleRepeatLong) || end - code < 2) break;
      const unsigned count = code[1] >> 4;
      const unsigned after = code[1] & 0x0F;
      if (after > 9 && after != kNibbleEnd) break;
      ++out;
      Repeat(out, out[-1]);
      out += count + (l == kNibbleRepeatLong ? kLongRepeatBase : 0);
      code += 2;
      if (after == kNibbleEnd) {
        mode = ModeValue(kNormal);
        break;
      }
      *out++ = static_cast<std::uint8_t>(kDigitZero + after);
    }
    return code;
  }
};

// The same operations, digit strings taken byte by byte by the table.
struct Avx2TableOps : Avx2Ops {
  static constexpr bool kWholeStrings = false;
};
#endif

}  // namespace

// `ifSet` when the word has the flag, else `otherwise`, without a branch:
// the flags of successive code bytes vary irregularly, and compilers may
// turn the plain selection into a branch.
template <std::uint32_t kFlag, typename T>
[[gnu::always_inline]] inline T PickIf(std::uint64_t word, T ifSet, T otherwise) {
  static_assert(sizeof(T) == 8);
#if defined(__x86_64__)
  asm("test %[flag], %k[word]\n\tcmovz %[otherwise], %[r]"
      : [r] "+r"(ifSet)
      : [word] "r"(word), [flag] "i"(kFlag), [otherwise] "r"(otherwise)
      : "cc");
  return ifSet;
#else
  return word & kFlag ? ifSet : otherwise;
#endif
}

// The decoding loop, inlined into each variant below with the operations of
// the variant's instruction set. With kWatch it stops once the output has
// reached `stop` at the end of a code: past it, or on it outside any code
// (a digit string's end byte after its last digit still belongs to it).
template <class Ops, bool kWatch>
[[gnu::always_inline]] inline const std::uint8_t* Unpacker::DecodeLoop(const std::uint8_t* code,
                                                                       const std::uint8_t* end,
                                                                       const std::uint8_t* stop) {
  // The hot registers live in locals: stores through the output pointer
  // could otherwise alias the members and force a reload after every byte.
  std::uint8_t* out = state_.out;
  // Where the current mode's words start.
  std::size_t mode = ModeValue(state_.mode);
  constexpr std::uint64_t kLeaves = std::uint64_t{kByRules} << 16;
  while (code != end) {
    const std::uint8_t c = *code;
    const std::size_t at = mode + c;
    const std::uint64_t e = kWords[at];
    // A digit-mode start, told from the byte and the mode rather than from
    // the table word: the branch, often mispredicted, is settled one load
    // earlier.
    const bool opens = Ops::kWholeStrings && ((mode ^ ModeValue(kNormal)) | c) <= kLastDigitStart;
    if (opens || (e & kLeaves)) [[unlikely]] {
      if (opens) {
        const std::uint8_t* const start = code;
        code = Ops::DigitString(code, end, out, mode);
        ++strings_.count;
        strings_.bytes += static_cast<std::size_t>(code - start);
      } else {
        state_.out = out;
        if (mode == ModeValue(kDigits)) state_.lastChar = out[-1];
        state_.mode = static_cast<std::uint8_t>((mode - kModeBias) / kModeStride);
        // Read again rather than kept: fewer registers held in the hot loop.
        UnpackByRules(state_, *code++);
        out = state_.out;
        mode = ModeValue(state_.mode);
      }
    } else {
      mode = Ops::NextMode(kNextModes[c], mode);
      // Where the bytes come from: the constants, or for copy codes the
      // previous block's same position, one block behind the output. Chosen
      // without a branch: literals and copies alternate irregularly.
      const std::uint8_t* from = kSources[at];
      const std::uint8_t* const previous = out - kBlockSize;
      from = PickIf<kFromPrevious << 16>(e, previous, from);
      Ops::Copy(out, from, static_cast<std::uint8_t>(e));
      out += static_cast<std::uint8_t>(e);
      ++code;
    }
    if constexpr (kWatch) {
      if (out >= stop && (out > stop || mode == ModeValue(kNormal))) break;
    }
  }
  state_.out = out;
  state_.mode = static_cast<std::uint8_t>((mode - kModeBias) / kModeStride);
  return code;
}

#if defined(__x86_64__)
// Flattened: the digit string decoder is built for AVX2 too, and only
// inlining keeps the output pointer in a register.
template <bool kWatch, bool kStrings>
[[gnu::target("avx2,bmi"), gnu::flatten]] const std::uint8_t* Unpacker::DecodeAvx2(
    const std::uint8_t* code, const std::uint8_t* end, const std::uint8_t* stop) {
  return DecodeLoop<std::conditional_t<kStrings, Avx2Ops, Avx2TableOps>, kWatch>(code, end, stop);
}
#endif

// Decoding a digit string at once costs a mispredicted branch at its start
// and pays from about five bytes a string on (records of many numbers);
// shorter strings (records of few) go faster through the table. So the
// strings are decoded whole while, over the last 32 of them, they averaged
// five bytes or more, and the table takes them otherwise, with another try
// after 32 KiB of code.
template <bool kWatch>
const std::uint8_t* Unpacker::Decode(const std::uint8_t* code, const std::uint8_t* end,
                                     const std::uint8_t* stop) {
#if defined(__x86_64__)
  if (avx2_) {
    Strings& s = strings_;
    if (!s.whole) {
      s.codeWithout += static_cast<std::size_t>(end - code);
      if (s.codeWithout >= (std::size_t{32} << 10)) s = Strings{};
      return DecodeAvx2<kWatch, false>(code, end, stop);
    }
    code = DecodeAvx2<kWatch, true>(code, end, stop);
    if (s.count >= 32) {
      s.whole = s.bytes >= 5 * s.count;
      s.count = 0;
      s.bytes = 0;
      s.codeWithout = 0;
    }
    return code;
  }
#endif
  return DecodeLoop<PortableOps, kWatch>(code, end, stop);
}

bool Unpacker::InNormalMode() const {
  return state_.mode == kNormal;
}

// Most pieces decode straight through. Around a block that is compared, the
// decoder stops at the end of the block before it, then at its own end, and
// the code read in between is gathered.
void Unpacker::DecodePiece(const std::uint8_t* code, const std::uint8_t* end) {
  Check& k = check_;
  if (k.phase == Phase::kIdle && k.kind != RecodeCheck::kNone &&
      Offset(state_.out) >= k.nextSample) {
    k.phase = Phase::kSeeking;
    k.stop = (Offset(state_.out) / kBlockSize + 1) * kBlockSize;
  }
  const std::uint8_t* const pieceStart = code;
  while (code != end) {
    if (k.phase == Phase::kIdle || k.phase == Phase::kDone) {
      Decode<false>(code, end, nullptr);
      return;
    }
    const std::uint8_t* const stop = At(k.stop);
    const std::uint8_t* const at = Decode<true>(code, end, stop);
    if (k.phase == Phase::kGathering) Gather(code, at);
    code = at;
    if (state_.out >= stop && (state_.out > stop || InNormalMode())) AtBlockEnd(code, pieceStart);
  }
}

}  // namespace xmodemquarvel::pack
