#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace xmodemquarvel::protocol {

// Control characters of the transfer protocol.
inline constexpr char SOH = 0x01;
inline constexpr char EOT = 0x04;
inline constexpr char ACK = 0x06;
inline constexpr char NAK = 0x15;
inline constexpr char CR = 0x0D;

inline constexpr std::size_t kDataSize = 128;
// SOH, number, complement, 128 data bytes, checksum, CR.
inline constexpr std::size_t kFrameSize = 133;

inline std::uint8_t Byte(char c) {
  return static_cast<std::uint8_t>(c);
}

// Sum of the bytes, modulo 256.
std::uint8_t Checksum(std::string_view data);

// SOH, `number`, its complement, the 128 bytes of `data` and their checksum:
// the 132 bytes of a data frame before its CR. `data` must hold 128 bytes.
std::string BuildFrame(std::uint8_t number, std::string_view data);

// What a collected 133-byte frame is, seen from a side whose last accepted
// frame carries `last_number`.
enum class FrameVerdict {
  kGood,         // the next number, its complement and a matching checksum
  kBadChecksum,  // the next number and its complement, but a wrong checksum
  kPrevious,     // numbered like the last accepted frame: a repetition
  kOther,        // any other number or a wrong complement
};
FrameVerdict JudgeFrame(std::string_view frame, std::uint8_t last_number);

// The 128 data bytes of a collected frame.
inline std::string_view FrameData(std::string_view frame) {
  return frame.substr(3, kDataSize);
}

}  // namespace xmodemquarvel::protocol
