#include <gtest/gtest.h>

#include "PackTestSupport.h"

namespace xmodemquarvel::pack::test {
namespace {

// Whole packed files, byte for byte.
TEST(PackedLayout, WorkedExample) {
  const Bytes source = Cat(Repeat(' ', 128), Text("REF 000012345"), Repeat(' ', 115));
  const Bytes expected =
      Cat(Repeat(' ', 128), Hex("0D 52 45 46 20 00 B3 12 34 5F F9 D0 F9 F1"), Repeat(0, 128 - 14));
  EXPECT_EQ(ToHex(Pack(source)), ToHex(expected));
  EXPECT_EQ(Unpack(expected), source);
}

TEST(PackedLayout, ThreeLettersGiveRawBlockAndEmptyEndBlock) {
  const Bytes packed = Pack(Text("abc"));
  EXPECT_EQ(packed, Cat(Text("abc"), Repeat(' ', 125), Repeat(0, 128)));
  EXPECT_EQ(Unpack(packed), Cat(Text("abc"), Repeat(' ', 125)));
}

TEST(PackedLayout, EmptySourceGivesOneNulBlock) {
  EXPECT_EQ(Pack({}), Repeat(0, 128));
}

TEST(PackedLayout, OneFullBlockGivesTwoBlocks) {
  const Bytes source = Alternating(128, 0x00, 0xFF);
  EXPECT_EQ(Pack(source), Cat(source, Repeat(0, 128)));
}

// The second coded block fills the first code block to 127 bytes, so the
// first copy code of the repeated block ends it: no separator after it.
TEST(PackedLayout, CopyCodesSplitByFullPackedBlock) {
  const Bytes block1 = Repeat('x', 128);
  const Bytes block2 = Cat(Text("ccc"), Alternating(125));
  const Bytes packed = Pack(Cat(block1, block2, block2));
  const Bytes expected =
      Cat(block1, Hex("B3 63"), Alternating(125), Hex("F9"), Hex("04 F9 D0 F9 D5"), Repeat(0, 123));
  EXPECT_EQ(ToHex(packed), ToHex(expected));
}

// A code stream of exactly one full block leaves an end block of count 0.
TEST(PackedLayout, CodeStreamFillingItsLastBlockGivesEndCountZero) {
  const Bytes block1 = Repeat('x', 128);
  const Bytes block2 = Cat(Text("cccdddeee"), Alternating(119));
  const Bytes packed = Pack(Cat(block1, block2, Repeat(' ', 128)));
  const Bytes expected =
      Cat(block1, Hex("B3 63 B3 64 B3 65"), Alternating(119), Hex("AF AF A2"), Repeat(0, 128));
  EXPECT_EQ(ToHex(packed), ToHex(expected));
}

struct CodeCase {
  const char* name;
  Bytes previous;  // block 1, written raw
  Bytes current;   // block 2, coded against block 1
  Bytes extra;     // optional block 3, coded against block 2
  Bytes code;      // the whole code stream
};

void PrintTo(const CodeCase& c, std::ostream* os) {
  *os << c.name;
}

class PackerCodes : public ::testing::TestWithParam<CodeCase> {};

TEST_P(PackerCodes, CodeStreamIsExact) {
  const CodeCase& c = GetParam();
  ASSERT_EQ(c.previous.size(), 128u);
  ASSERT_EQ(c.current.size(), 128u);
  const Bytes source = Cat(c.previous, c.current, c.extra);
  const Bytes packed = Pack(source);
  EXPECT_EQ(ToHex(CodeStream(packed)), ToHex(c.code));
  EXPECT_EQ(Unpack(packed), Padded(source));
}

// Block 1 is 128 letters x; block 2 is the pattern followed by x up to 128,
// so its coding is the pattern's coding and then the copy codes of the rest.
CodeCase Pattern(const char* name, const Bytes& pattern, std::string_view code) {
  Bytes current = pattern;
  current.resize(128, 'x');
  return {name, Repeat('x', 128), current, {}, Hex(code)};
}

const Bytes kX = Repeat('x', 128);

INSTANTIATE_TEST_SUITE_P(
    RepeatedBlocks, PackerCodes,
    ::testing::Values(
        CodeCase{"EqualBlock", kX, kX, {}, Hex("F9 D0 F9 D0 F9 D5")},
        CodeCase{"EqualBlockOfControlCharacters",
                 Repeat(0x05, 128),
                 Repeat(0x05, 128),
                 {},
                 Hex("F9 D0 F9 D0 F9 D5")},
        // Block 2 ends with a copy code 249, so block 3's first one gets a separator.
        CodeCase{"EqualBlockAfterByte249", kX, Cat(Repeat('y', 87), Repeat('x', 41)),
                 Cat(Repeat('y', 87), Repeat('x', 41)),
                 Hex("CF 79 CF 79 C9 79 F9 D0 F9 D0 F9 D0 F9 D5")},
        // Block 2 codes to 125 bytes: the packed block ends right after the
        // second F9, and the third gets no separator.
        CodeCase{"PackedBlockEndsAfterSecondCopy", kX, Cat(Text("cccdddeee"), Alternating(119)),
                 Cat(Text("cccdddeee"), Alternating(119)),
                 Cat(Hex("B3 63 B3 64 B3 65"), Alternating(119), Hex("F9 D0 F9 F9 D5"))},
        CodeCase{"PackedBlockEndsAfterFirstCopy", kX, Cat(Text("ccc"), Alternating(125)),
                 Cat(Text("ccc"), Alternating(125)),
                 Cat(Hex("B3 63"), Alternating(125), Hex("F9 F9 D0 F9 D5"))},
        // A packed block ending on the separator keeps the following copy code.
        CodeCase{"PackedBlockEndsOnSeparator", kX, Cat(Text("cccddd"), Alternating(122)),
                 Cat(Text("cccddd"), Alternating(122)),
                 Cat(Hex("B3 63 B3 64"), Alternating(122), Hex("F9 D0 F9 D0 F9 D5"))}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    CopyRuns, PackerCodes,
    ::testing::Values(
        // The last 82 characters equal: no separator before the final copy code.
        CodeCase{
            "Last82Equal", kX, Cat(Repeat('y', 46), Repeat('x', 82)), {}, Hex("CF 79 BF 79 F9 F9")},
        // An equal run of 42 leaves one character, written as a literal.
        CodeCase{"EqualRun42EndingWithCode128",
                 Cat(Repeat('x', 86), Repeat(0x80, 42)),
                 Cat(Repeat('y', 86), Repeat(0x80, 42)),
                 {},
                 Hex("CF 79 CF 79 C8 79 F9 FA 80")},
        Pattern("SingleEqualStaysInSpan", Text("AxB"), "41 78 42 F9 D0 F9 D0 F9 D2"),
        Pattern("TwoEqualEndTheSpan", Text("AxxB"), "41 D2 42 F9 D0 F9 D0 F9 78"),
        Pattern("LeadingSingleEqualJoinsSpan", Text("xA"), "78 41 F9 D0 F9 D0 F9 D3"),
        CodeCase{"TrailingSingleEqualJoinsSpan",
                 kX,
                 Cat(Repeat('x', 126), Text("Ax")),
                 {},
                 Hex("F9 D0 F9 D0 F9 D3 41 78")},
        CodeCase{"TrailingEqualPairIsCopied",
                 kX,
                 Cat(Repeat('x', 125), Text("Axx")),
                 {},
                 Hex("F9 D0 F9 D0 F9 D2 41 D2")},
        CodeCase{"EveryPositionDiffers", kX, Alternating(128), {}, Alternating(128)}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    DigitStrings, PackerCodes,
    ::testing::Values(
        Pattern("FourDigits", Text("1234"), "01 23 4F F9 D0 F9 D0 F9 78"),
        Pattern("FiveDigits", Text("12345"), "01 23 45 FF F9 D0 F9 F9"),
        Pattern("ThreeDigitsStayLiterals", Text("123"), "31 32 33 F9 D0 F9 D0 F9 D2"),
        Pattern("MixedSegment", Text("AB12C3456"), "41 42 31 32 43 03 45 6F F9 D0 F9 F5"),
        Pattern("FourZeros", Text("0000"), "00 B3 FF F9 D0 F9 D0 F9 78"),
        Pattern("SixteenEqualDigits", Repeat('7', 16), "07 BF FF F9 D0 F9 EE"),
        Pattern("ThirtyOneEqualDigits", Repeat('7', 31), "07 CE FF F9 D0 F9 DF"),
        Pattern("ThirtyTwoEqualDigits", Repeat('7', 32), "07 CE 7F F9 D0 F9 DE"),
        Pattern("HundredEqualDigits", Repeat('7', 100), "07 CE 7C E7 CE 7B 6F EC"),
        Pattern("ThreeEqualDigitsAreARepeat", Text("555A"), "B3 35 41 F9 D0 F9 D0 F9 78"),
        Pattern("DigitStringThenLetter", Text("98765A"), "09 87 65 FF 41 F9 D0 F9 F8"),
        // Three trailing digits after a digit string stay in a new segment.
        Pattern("DigitStringSplitByLetter", Text("1111A222"), "01 B3 FF 41 B3 32 F9 D0 F9 F6")),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    RunsAndEscapes, PackerCodes,
    ::testing::Values(Pattern("Spaces48", Repeat(' ', 48), "AF 20 F9 F7"),
                      Pattern("Spaces94", Repeat(' ', 94), "AF AF F2"),
                      Pattern("Spaces95", Repeat(' ', 95), "AF AF 20 F1"),
                      Pattern("TwoSpaces", Text("A  B"), "41 82 42 F9 D0 F9 D0 F9 78"),
                      Pattern("Letters32", Repeat('A', 32), "CF 41 41 F9 D0 F9 DE"),
                      Pattern("Letters33", Repeat('A', 33), "CF 41 41 41 F9 D0 F9 DD"),
                      Pattern("Letters34", Repeat('A', 34), "CF 41 B3 41 F9 D0 F9 DC"),
                      Pattern("TwoEqualLettersStayLiterals", Text("AA"), "41 41 F9 D0 F9 D0 F9 D3"),
                      Pattern("Code250", Repeat(250, 1), "FB FA F9 D0 F9 D0 F9 D4"),
                      Pattern("Code5", Repeat(5, 1), "FA 05 F9 D0 F9 D0 F9 D4"),
                      Pattern("Code233", Repeat(233, 1), "FA E9 F9 D0 F9 D0 F9 D4"),
                      Pattern("Code251And255", Hex("FB FF"), "FA FB FA FF F9 D0 F9 D0 F9 D3"),
                      Pattern("Codes9And10And127", Hex("09 0A 7F"),
                              "FA 09 0A 7F F9 D0 F9 D0 F9 D2"),
                      Pattern("FourCode233", Repeat(233, 4), "B4 E9 F9 D0 F9 D0 F9 78"),
                      Pattern("TwoCode250", Repeat(250, 2), "FB FA FB FA F9 D0 F9 D0 F9 D3"),
                      Pattern("ThreeCode250", Repeat(250, 3), "B3 FA F9 D0 F9 D0 F9 D2")),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace xmodemquarvel::pack::test
