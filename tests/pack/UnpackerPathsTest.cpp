// The decoding loop against the plain model, for both of its store variants
// and with the code stream handed over in pieces of any size, so that codes
// cut at every kind of boundary (packed blocks, calls, output blocks) are
// covered.

#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "PackTestSupport.h"
#include "ReferenceCodec.h"
#include "pack/Unpacker.h"

namespace xmodemquarvel::pack::test {
namespace {

using reference::ReferenceUnpacker;

// Decodes a packed file of whole blocks (two or more, end-block count below
// 128) with the unpacker itself, handing it the code stream in pieces of
// `piece` bytes, or of random sizes when piece is 0. A small output buffer
// makes the unpacker hand its output over often.
Bytes DecodeInPieces(const Bytes& packed, bool portable, std::size_t piece, std::mt19937& rng) {
  Bytes out;
  VectorSink sink(out);
  Unpacker unpacker(sink, 256);
  if (portable) unpacker.UsePortableStores();
  unpacker.Start(packed.data());
  const std::uint8_t* const endBlock = packed.data() + packed.size() - 128;
  Bytes code(packed.begin() + 128, packed.end() - 128);
  code.insert(code.end(), endBlock + 1, endBlock + 1 + endBlock[0]);
  std::size_t at = 0;
  while (at < code.size()) {
    const std::size_t n = std::min(code.size() - at, piece != 0 ? piece : 1 + rng() % 200);
    unpacker.UnpackBytes({code.data() + at, n});
    at += n;
  }
  unpacker.Finish();
  return out;
}

// Lays a code stream out as a packed file after the given raw first block.
Bytes PackedFile(const Bytes& raw, const Bytes& code) {
  Bytes packed = raw;
  const std::size_t full = code.size() / 128 * 128;
  packed.insert(packed.end(), code.begin(), code.begin() + static_cast<std::ptrdiff_t>(full));
  packed.push_back(static_cast<std::uint8_t>(code.size() - full));
  packed.insert(packed.end(), code.begin() + static_cast<std::ptrdiff_t>(full), code.end());
  packed.resize((packed.size() + 127) / 128 * 128, 0);
  return packed;
}

void CheckAllWays(const Bytes& packed, int index) {
  ReferenceUnpacker model;
  const auto expected = model.Unpack(packed);
  ASSERT_TRUE(expected.has_value());
  ASSERT_EQ(Unpack(packed), *expected) << "#" << index;
  std::mt19937 rng(static_cast<std::uint32_t>(index));
  for (const bool portable : {false, true}) {
    for (const std::size_t piece : {std::size_t{128}, std::size_t{1}, std::size_t{0}}) {
      ASSERT_EQ(DecodeInPieces(packed, portable, piece, rng), *expected)
          << "#" << index << " portable " << portable << " piece " << piece;
    }
  }
}

// Code bytes that switch between the decoder's modes often: digit-mode
// starts, digit pairs, ends of digit strings, digit repeats, escapes, repeat
// codes, literals, spaces and copies.
Bytes ModeHeavyCode(std::mt19937& rng, std::size_t n) {
  static constexpr std::uint8_t kBytes[] = {
      0x00, 0x05, 0x09, 0x12, 0x34, 0x99, 0x5F, 0xFF, 0xAF, 0xDF, 0xEF, 0xB3, 0xBF, 0xC2,
      0xCF, 0x1B, 0x2C, 0xFB, 0xFC, 0xFA, 0xFB, 0xB0, 0xB4, 0xCF, 0x41, 0x20, 0x7F, 0x0A,
      0x82, 0xAF, 0x80, 0xD0, 0xD5, 0xF9, 0xE0, 0xFD, 0xFE, 0xF0, 0xA5, 0x3A};
  Bytes out(n);
  for (auto& b : out)
    b = rng() % 4 == 0 ? static_cast<std::uint8_t>(rng()) : kBytes[rng() % sizeof kBytes];
  return out;
}

Bytes RawBlock(std::mt19937& rng) {
  Bytes raw(128);
  for (auto& b : raw) b = static_cast<std::uint8_t>(rng());
  return raw;
}

TEST(UnpackerPaths, ModeHeavyStreamsDecodeLikeTheModel) {
  std::mt19937 rng(21);
  for (int i = 0; i < 1500; ++i) {
    CheckAllWays(PackedFile(RawBlock(rng), ModeHeavyCode(rng, rng() % 1200)), i);
  }
}

// A digit string, an escape and a repeat code placed at every offset around
// the end of the first full code block.
TEST(UnpackerPaths, CodesCutAtEveryBlockOffset) {
  const Bytes tails[] = {Hex("05 12 34 5F"), Hex("03 B5 2F"), Hex("07 C3 1F"),
                         Hex("FA 05"),       Hex("FB FA"),    Hex("B4 E9"),
                         Hex("B4 05"),       Hex("0B 3F"),    Hex("01 FB 41 00 B2 AF")};
  int index = 0;
  for (const Bytes& tail : tails) {
    for (std::size_t k = 118; k <= 130; ++k) {
      const Bytes code = Cat(Repeat('x', k), tail, Hex("F9 D0 F9 41 42 43"));
      CheckAllWays(PackedFile(Repeat(' ', 128), code), index++);
    }
  }
}

// A copy running over the end of an output block, after every output fill.
TEST(UnpackerPaths, CopiesAcrossOutputBlocks) {
  std::mt19937 rng(22);
  for (int fill = 80; fill <= 127; ++fill) {
    Bytes code;
    for (int i = 0; i < fill; ++i) code.push_back(static_cast<std::uint8_t>('A' + i % 26));
    code.push_back(0xF9);
    code.push_back(0x03);  // a digit string right after the block boundary
    code.push_back(0x45);
    code.push_back(0x6F);
    CheckAllWays(PackedFile(RawBlock(rng), code), fill);
  }
}

}  // namespace
}  // namespace xmodemquarvel::pack::test
