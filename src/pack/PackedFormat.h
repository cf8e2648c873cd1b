#pragma once

#include <cstddef>
#include <cstdint>

// Constants of the packed file format: the block size and the meaning of every
// code byte, shared by the packer and the unpacker.
namespace xmodemquarvel::pack {

// Source blocks, packed blocks and the end block all hold this many bytes.
inline constexpr std::size_t kBlockSize = 128;

// A short last source block, and a short block read from a packed file, are
// filled up with this character.
inline constexpr std::uint8_t kFillChar = 0x20;
inline constexpr std::uint8_t kSpace = 0x20;
// Filler of the end block after its count and data bytes.
inline constexpr std::uint8_t kEndFiller = 0x00;
// The end block's count byte is 0 to this value; above it the file is corrupt.
inline constexpr std::uint8_t kMaxEndCount = 127;

// Code bytes read outside digit mode.
// 0-9: digit-mode start, the byte being the first 4-bit value.
inline constexpr std::uint8_t kLastDigitStart = 9;
// 10-127 and 252-255: literal characters.
inline constexpr std::uint8_t kFirstLiteral = 10;
inline constexpr std::uint8_t kLastLowLiteral = 127;
inline constexpr std::uint8_t kFirstHighLiteral = 252;
// 128 + n: n spaces.
inline constexpr std::uint8_t kSpaceCodeBase = 128;
inline constexpr std::uint8_t kLastSpaceCode = 175;
inline constexpr int kMaxSpaceCount = kLastSpaceCode - kSpaceCodeBase;  // 47
// 176 + n: the next byte written n times.
inline constexpr std::uint8_t kRepeatCodeBase = 176;
inline constexpr std::uint8_t kLastRepeatCode = 207;
inline constexpr int kMaxRepeatCount = kLastRepeatCode - kRepeatCodeBase;  // 31
// 208 + n: n characters copied from the same positions of the previous block.
inline constexpr std::uint8_t kCopyCodeBase = 208;
inline constexpr std::uint8_t kLastCopyCode = 249;
inline constexpr int kMaxCopyCount = kLastCopyCode - kCopyCodeBase;  // 41
// The copy code that copies nothing; the packer uses it as a separator.
inline constexpr std::uint8_t kCopySeparator = kCopyCodeBase;
// Escape bytes: the next byte is a literal. The packer uses the second one only
// before a literal 250, so that the pair never reads as two escapes.
inline constexpr std::uint8_t kEscape = 250;
inline constexpr std::uint8_t kEscapeBeforeEscape = 251;

// The packer writes a run of spaces, of a repeated character or of an equal
// stretch with codes only from these lengths on.
inline constexpr int kMinSpaceRun = 2;
inline constexpr int kMinRepeatRun = 3;
inline constexpr int kMinCopyRun = 2;

// Digits: the characters '0' to '9'.
inline constexpr std::uint8_t kDigitZero = 0x30;
inline constexpr bool IsDigit(std::uint8_t c) {
  return static_cast<std::uint8_t>(c - kDigitZero) < 10;
}

// 4-bit values of digit mode. 0-9 are digits; 10, 13 and 14 mean nothing.
inline constexpr int kNibbleRepeat = 11;      // next value n: the last digit n more times
inline constexpr int kNibbleRepeatLong = 12;  // next value n: the last digit 16 + n more times
inline constexpr int kNibbleEnd = 15;         // digit mode ends with the byte holding it
inline constexpr int kLongRepeatBase = 16;
// A digit string holds at least this many digits; fewer stay ordinary characters.
inline constexpr int kMinDigitString = 4;
// The longest run of one digit that one repeat of values can write.
inline constexpr int kMaxDigitRun = 31;
// A digit string ending after a full pair of values.
inline constexpr std::uint8_t kDigitStringEnd = 0xFF;

}  // namespace xmodemquarvel::pack
