#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <system_error>

#include "PackTestSupport.h"
#include "ReferenceCodec.h"

namespace xmodemquarvel::pack::test {
namespace {

using reference::ReferencePacker;
using reference::ReferenceUnpacker;

// Checks one source: the fast packer, with either of its coders, matches the
// plain model byte for byte, and unpacking gives the source filled with
// spaces to whole blocks.
void CheckSource(const Bytes& source, const char* kind, int index) {
  const Bytes packed = Pack(source);
  ReferencePacker model;
  const Bytes expected = model.Pack(source);
  ASSERT_EQ(packed.size() % 128, 0u) << kind << " #" << index;
  ASSERT_EQ(packed, expected) << kind << " #" << index << " size " << source.size();
  ASSERT_EQ(PackPortable(source), expected) << kind << " #" << index << " portable coder";
  // An empty source packs into a lone end block, which reads back as a raw
  // first block of NULs.
  const Bytes unpacked = source.empty() ? Repeat(0, 128) : Padded(source);
  ASSERT_EQ(Unpack(packed), unpacked) << kind << " #" << index;
}

std::uint8_t Pick(std::mt19937& rng, std::string_view alphabet) {
  return static_cast<std::uint8_t>(alphabet[rng() % alphabet.size()]);
}

Bytes RandomBytes(std::mt19937& rng, std::size_t n) {
  Bytes out(n);
  for (auto& b : out) b = static_cast<std::uint8_t>(rng());
  return out;
}

// Runs of digits, spaces and a few letters and control characters, of
// random lengths: long digit runs, digit strings next to letters, spaces.
Bytes DigitsAndSpaces(std::mt19937& rng, std::size_t n) {
  static constexpr char kChars[] = "0123456789      0000AZ\x05\xFA\xFB\xF9";
  static constexpr std::string_view kAlphabet{kChars, sizeof kChars - 1};
  Bytes out;
  while (out.size() < n) {
    const std::uint8_t c = Pick(rng, kAlphabet);
    const std::size_t run = rng() % 4 == 0 ? 1 + rng() % 70 : 1 + rng() % 3;
    for (std::size_t k = 0; k < run && out.size() < n; ++k) out.push_back(c);
  }
  return out;
}

// Fixed-width records of 128 characters, each derived from the one before
// by changing a few fields, sometimes of a different width.
Bytes Records(std::mt19937& rng, std::size_t blocks, std::size_t extra) {
  Bytes record(128, ' ');
  for (std::size_t i = 0; i < 128; ++i) {
    record[i] = static_cast<std::uint8_t>(i % 7 == 0 ? ' ' : '0' + (i * 31) % 10);
  }
  Bytes out;
  for (std::size_t b = 0; b < blocks; ++b) {
    const int changes = static_cast<int>(rng() % 6);
    for (int c = 0; c < changes; ++c) {
      const std::size_t at = rng() % 128;
      const std::size_t len = 1 + rng() % 50;
      const int kind = static_cast<int>(rng() % 4);
      for (std::size_t k = at; k < at + len && k < 128; ++k) {
        switch (kind) {
          case 0:
            record[k] = static_cast<std::uint8_t>('0' + rng() % 10);
            break;
          case 1:
            record[k] = ' ';
            break;
          case 2:
            record[k] = static_cast<std::uint8_t>('A' + rng() % 26);
            break;
          default:
            record[k] = static_cast<std::uint8_t>(rng());
            break;
        }
      }
    }
    out.insert(out.end(), record.begin(), record.end());
  }
  const Bytes tail = RandomBytes(rng, extra);
  out.insert(out.end(), tail.begin(), tail.end());
  return out;
}

// Bytes from a handful of values, in runs: equal and near-equal blocks,
// every code's boundary values and escapes.
Bytes FewValues(std::mt19937& rng, std::size_t n) {
  static constexpr char kChars[] =
      "\x00\x09\x0A\x20\x30\x39\x7F\x80\xAF\xB0\xCF\xD0\xF9\xFA\xFB\xFC\xFF";
  static constexpr std::string_view kValues{kChars, sizeof kChars - 1};
  Bytes out;
  while (out.size() < n) {
    const std::uint8_t c = Pick(rng, kValues);
    const std::size_t run = 1 + rng() % (rng() % 2 == 0 ? 3 : 100);
    for (std::size_t k = 0; k < run && out.size() < n; ++k) out.push_back(c);
  }
  // Repeat whole blocks now and then, so that copy codes appear.
  for (std::size_t at = 128; at + 128 <= out.size(); at += 128) {
    if (rng() % 3 == 0)
      std::copy_n(out.begin() + static_cast<std::ptrdiff_t>(at - 128), 128,
                  out.begin() + static_cast<std::ptrdiff_t>(at));
  }
  return out;
}

TEST(PackRoundTrip, RandomBytes) {
  std::mt19937 rng(1);
  for (int i = 0; i < 2500; ++i) CheckSource(RandomBytes(rng, rng() % 700), "random", i);
}

TEST(PackRoundTrip, DigitsAndSpaces) {
  std::mt19937 rng(2);
  for (int i = 0; i < 2500; ++i) CheckSource(DigitsAndSpaces(rng, rng() % 1200), "digits", i);
}

TEST(PackRoundTrip, FixedWidthRecords) {
  std::mt19937 rng(3);
  for (int i = 0; i < 2500; ++i) {
    CheckSource(Records(rng, 1 + rng() % 12, rng() % 3 == 0 ? rng() % 128 : 0), "records", i);
  }
}

TEST(PackRoundTrip, FewValues) {
  std::mt19937 rng(4);
  for (int i = 0; i < 2500; ++i) CheckSource(FewValues(rng, rng() % 1000), "few values", i);
}

TEST(PackRoundTrip, LengthsAroundWholeBlocks) {
  std::mt19937 rng(5);
  int index = 0;
  for (std::size_t blocks = 0; blocks <= 12; ++blocks) {
    for (int delta = -2; delta <= 2; ++delta) {
      const auto n = static_cast<std::ptrdiff_t>(blocks * 128) + delta;
      if (n < 0) continue;
      for (int round = 0; round < 20; ++round) {
        const auto size = static_cast<std::size_t>(n);
        CheckSource(RandomBytes(rng, size), "around blocks", index++);
        CheckSource(DigitsAndSpaces(rng, size), "around blocks", index++);
        CheckSource(FewValues(rng, size), "around blocks", index++);
      }
    }
  }
  EXPECT_GT(index, 3000);
}

// Sources larger than the coder's internal buffers, so that output is
// written in several pieces.
TEST(PackRoundTrip, LargeSources) {
  std::mt19937 rng(6);
  CheckSource(RandomBytes(rng, (3 << 20) + 77), "large random", 0);
  CheckSource(Records(rng, 40000, 5), "large records", 1);
  // Equal blocks: a tiny packed file that unpacks into many output pieces.
  const Bytes block = RandomBytes(rng, 128);
  Bytes same;
  for (int i = 0; i < 30000; ++i) same.insert(same.end(), block.begin(), block.end());
  CheckSource(same, "large equal", 2);
}

// A block codes to at most two bytes per character.
TEST(PackRoundTrip, CodingOfOneBlockIsBounded) {
  std::mt19937 rng(7);
  for (int i = 0; i < 2000; ++i) {
    const Bytes first = RandomBytes(rng, 128);
    const Bytes second = i % 2 == 0 ? RandomBytes(rng, 128) : FewValues(rng, 128);
    const Bytes code = CodeStream(Pack(Cat(first, second)));
    ASSERT_LE(code.size(), 256u);
  }
  Bytes escapes = Cat(Repeat('x', 128), Alternating(128, 0x80, 0x81));
  EXPECT_EQ(CodeStream(Pack(escapes)).size(), 256u);
}

// Any byte sequence decodes like the plain model, including its failure.
void CheckDecode(const Bytes& packed, int index) {
  ReferenceUnpacker model;
  Bytes partial;
  const auto expected = model.Unpack(packed, &partial);
  Bytes out;
  bool failed = false;
  try {
    UnpackBuffer(packed, out);
  } catch (const std::system_error& e) {
    failed = true;
    ASSERT_EQ(e.code(), std::make_error_code(std::errc::invalid_argument));
  }
  ASSERT_EQ(failed, !expected.has_value()) << "#" << index;
  ASSERT_EQ(out, expected ? *expected : partial) << "#" << index << " size " << packed.size();
}

TEST(UnpackCorrupt, RandomStreamsDecodeLikeTheModel) {
  std::mt19937 rng(8);
  for (int i = 0; i < 3000; ++i) {
    Bytes packed = i % 2 == 0 ? RandomBytes(rng, rng() % 1500) : FewValues(rng, rng() % 1500);
    // Keep most end blocks valid so that the whole stream is compared.
    if (packed.size() > 128 && rng() % 4 != 0) {
      packed[(packed.size() - 1) / 128 * 128] &= 0x7F;
    }
    CheckDecode(packed, i);
  }
}

TEST(UnpackCorrupt, DamagedPackedFilesDecodeLikeTheModel) {
  std::mt19937 rng(9);
  for (int i = 0; i < 2000; ++i) {
    Bytes packed = Pack(i % 2 == 0 ? Records(rng, 1 + rng() % 8, 0) : DigitsAndSpaces(rng, 900));
    const int damage = 1 + static_cast<int>(rng() % 4);
    for (int d = 0; d < damage; ++d)
      packed[rng() % packed.size()] = static_cast<std::uint8_t>(rng());
    if (rng() % 5 == 0) packed.resize(rng() % (packed.size() + 1));
    CheckDecode(packed, i);
  }
}

}  // namespace
}  // namespace xmodemquarvel::pack::test
