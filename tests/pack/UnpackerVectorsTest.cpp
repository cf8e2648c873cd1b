#include <gtest/gtest.h>

#include <system_error>

#include "PackTestSupport.h"

namespace xmodemquarvel::pack::test {
namespace {

struct DecodeCase {
  const char* name;
  Bytes raw;     // the raw first block
  Bytes code;    // the code stream, laid out in code blocks and the end block
  Bytes output;  // what follows the raw first block in the unpacked file
};

void PrintTo(const DecodeCase& c, std::ostream* os) {
  *os << c.name;
}

class UnpackerCodes : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(UnpackerCodes, OutputIsExact) {
  const DecodeCase& c = GetParam();
  ASSERT_EQ(c.raw.size(), 128u);
  ASSERT_EQ(c.output.size() % 128, 0u) << "a test output must be whole blocks";
  EXPECT_EQ(ToHex(Unpack(PackedFile(c.raw, c.code))), ToHex(Cat(c.raw, c.output)));
}

const Bytes kSpaces = Repeat(' ', 128);

// 128 different characters, 100 to 227.
Bytes Distinct() {
  Bytes out(128);
  for (int i = 0; i < 128; ++i)
    out[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(100 + i);
  return out;
}

Bytes Tail(const Bytes& bytes, std::size_t from) {
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.end());
}

INSTANTIATE_TEST_SUITE_P(
    Literals, UnpackerCodes,
    ::testing::Values(DecodeCase{"WorkedExample", kSpaces,
                                 Hex("52 45 46 20 00 B3 12 34 5F F9 D0 F9 F1"),
                                 Cat(Text("REF 000012345"), Repeat(' ', 115))},
                      DecodeCase{"EscapedCode250", kSpaces, Hex("FB FA AF AF A1"),
                                 Cat(Repeat(250, 1), Repeat(' ', 127))},
                      DecodeCase{"EscapedCode5", kSpaces, Hex("FA 05 AF AF A1"),
                                 Cat(Repeat(5, 1), Repeat(' ', 127))},
                      DecodeCase{"EscapedEscape", kSpaces, Hex("FA FA FA FB AF AF A0"),
                                 Cat(Hex("FA FB"), Repeat(' ', 126))},
                      DecodeCase{"RepeatOfCode233", kSpaces, Hex("B4 E9 AF AF 9E"),
                                 Cat(Repeat(233, 4), Repeat(' ', 124))},
                      DecodeCase{"RepeatOfEscapeByte", kSpaces, Hex("B4 FA AF AF 9E"),
                                 Cat(Repeat(250, 4), Repeat(' ', 124))},
                      DecodeCase{"RepeatOfDigitModeStart", kSpaces, Hex("B4 05 AF AF 9E"),
                                 Cat(Repeat(5, 4), Repeat(' ', 124))},
                      DecodeCase{"HighLiterals", kSpaces, Hex("FC FD FE FF AF AF 9E"),
                                 Cat(Hex("FC FD FE FF"), Repeat(' ', 124))},
                      DecodeCase{"CodesThatWriteNothing", kSpaces, Hex("D0 80 B0 41 AF AF A1"),
                                 Cat(Text("A"), Repeat(' ', 127))},
                      DecodeCase{"Space128And129", kSpaces, Hex("41 80 81 AF AF A0"),
                                 Cat(Text("A "), Repeat(' ', 126))}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    DigitMode, UnpackerCodes,
    ::testing::Values(
        // BF after a digit: 15 more of it, and digit mode goes on.
        DecodeCase{"CountFifteenIsNotEnd", kSpaces, Hex("07 BF 12 3F AF AF 8F"),
                   Cat(Repeat('7', 16), Text("123"), Repeat(' ', 109))},
        DecodeCase{"DigitThenEnd", kSpaces, Hex("01 5F 41 AF AF 9F"),
                   Cat(Text("15A"), Repeat(' ', 125))},
        DecodeCase{"EndByteWritesNothing", kSpaces, Hex("01 23 FF 41 AF AF 9E"),
                   Cat(Text("123A"), Repeat(' ', 124))},
        DecodeCase{"LongRepeat", kSpaces, Hex("09 CF AF AF AF 82"),
                   Cat(Repeat('9', 32), Repeat(' ', 96))},
        DecodeCase{"ValuesThatMeanNothing", kSpaces, Hex("02 AD E3 F0 AF AF 9F"),
                   Cat(Text("230"), Repeat(' ', 125))},
        // FC: 15 ends digit mode and 12 is still decoded: the next byte is then
        // written 16 times, and the next digit-mode start is taken as a count.
        DecodeCase{"RepeatLeftPendingByEnd", kSpaces, Hex("01 FC 41 05 FF AF AF 8C"),
                   Cat(Text("1"), Repeat('A', 16), Repeat('1', 5), Repeat(' ', 106))},
        DecodeCase{"ShortRepeatLeftPendingByEnd", kSpaces, Hex("03 FB 41 02 FF AF AF 9E"),
                   Cat(Text("3AAA"), Repeat(' ', 124))},
        // A literal sets the character that a digit repeat writes only outside
        // a digit string; repeat codes do not.
        DecodeCase{"RepeatCodeKeepsLastCharacter", kSpaces, Hex("01 FB B3 41 04 FF AF AF 9A"),
                   Cat(Text("1AAA1111"), Repeat(' ', 120))}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    CopiesAndBlocks, UnpackerCodes,
    ::testing::Values(
        // 100 letters Q, then a copy of 41: 28 characters from positions
        // 101-128 of the raw block, then 13 from the block just completed.
        DecodeCase{"CopyAcrossOutputBlocks", Distinct(), Hex("CF 51 CF 51 CF 51 B7 51 F9 AF AF 95"),
                   Cat(Repeat('Q', 100), Tail(Distinct(), 100), Repeat('Q', 13), Repeat(' ', 115))},
        DecodeCase{"CopyWholeBlock", Distinct(), Hex("F9 D0 F9 F9 D5"), Distinct()},
        // An escape cut by the end of a code block goes on in the end block.
        DecodeCase{"EscapeAcrossCodeBlocks", kSpaces, Cat(Repeat('A', 127), Hex("FA 05")),
                   Cat(Repeat('A', 127), Hex("05"))},
        DecodeCase{"RepeatCodeAcrossCodeBlocks", kSpaces,
                   Cat(Hex("D0 D0 D0"), Repeat('A', 124), Hex("B4 FF")),
                   Cat(Repeat('A', 124), Repeat(0xFF, 4))},
        DecodeCase{"DigitStringAcrossCodeBlocks", kSpaces,
                   Cat(Repeat('A', 126), Hex("01 23 4F AF AF A0")),
                   Cat(Repeat('A', 126), Text("1234"), Repeat(' ', 126))},
        DecodeCase{"DigitRepeatAcrossCodeBlocks", kSpaces,
                   Cat(Repeat('A', 126), Hex("05 CF 3F AF AF 83")),
                   Cat(Repeat('A', 126), Repeat('5', 32), Text("3"), Repeat(' ', 97))}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(UnpackerEndBlock, CountZeroDecodesNothing) {
  const Bytes raw = Distinct();
  EXPECT_EQ(Unpack(Cat(raw, Hex("00 41 41 41"), Repeat(0, 124))), raw);
}

TEST(UnpackerEndBlock, OnlyTheCountedBytesAreDecoded) {
  // Four bytes counted: 'A' and 126 spaces leave the block one short; the
  // uncounted 'B' would complete it.
  Bytes packed = Cat(kSpaces, Hex("04 41 AF AF A0 42"), Repeat(0, 122));
  EXPECT_EQ(Unpack(packed), kSpaces);
  packed[128] = 5;
  EXPECT_EQ(Unpack(packed), Cat(kSpaces, Text("A"), Repeat(' ', 126), Text("B")));
}

TEST(UnpackerEndBlock, CountAbove127DecodesItsBytesThenFails) {
  // 127 data bytes: 128 spaces complete a block, 124 letters start another.
  const Bytes packed = Cat(kSpaces, Hex("C8 AF AF A2"), Repeat('A', 124));
  ASSERT_EQ(packed.size(), 256u);
  Bytes out;
  try {
    UnpackBuffer(packed, out);
    FAIL() << "no failure";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code(), std::make_error_code(std::errc::invalid_argument));
  }
  EXPECT_EQ(out, Cat(kSpaces, kSpaces));
}

TEST(UnpackerEndBlock, Count128Fails) {
  Bytes packed = Cat(kSpaces, Hex("80"), Repeat(0, 127));
  EXPECT_THROW(Unpack(packed), std::system_error);
  packed[128] = 127;
  EXPECT_NO_THROW(Unpack(packed));
}

TEST(UnpackerFiles, EmptyPackedFileGivesNothing) {
  EXPECT_TRUE(Unpack({}).empty());
}

TEST(UnpackerFiles, OneBlockGivesItsCopy) {
  EXPECT_EQ(Unpack(Distinct()), Distinct());
}

TEST(UnpackerFiles, ShortOnlyBlockIsFilledWithSpaces) {
  EXPECT_EQ(Unpack(Text("ABC")), Cat(Text("ABC"), Repeat(' ', 125)));
}

TEST(UnpackerFiles, ShortEndBlockIsFilledWithSpaces) {
  // Count 12 reaches two bytes past the file's end: they read as spaces.
  const Bytes packed = Cat(Distinct(), Hex("0C CF 51 CF 51 CF 51 CF 51 B2 51"));
  EXPECT_EQ(Unpack(packed), Cat(Distinct(), Repeat('Q', 126), Text("  ")));
}

TEST(UnpackerFiles, IncompleteLastBlockIsDropped) {
  EXPECT_EQ(Unpack(PackedFile(kSpaces, Hex("41 42 43"))), kSpaces);
}

TEST(UnpackerFiles, PendingCodesAtEndAreDropped) {
  for (const Bytes& tail : {Hex("FA"), Hex("B5"), Hex("01 B0"), Hex("02 C0"), Hex("03")}) {
    EXPECT_EQ(Unpack(PackedFile(kSpaces, Cat(Hex("AF AF A2"), tail))), Cat(kSpaces, kSpaces))
        << ToHex(tail);
  }
}

}  // namespace
}  // namespace xmodemquarvel::pack::test
