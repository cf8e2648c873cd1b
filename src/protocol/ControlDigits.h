#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace xmodemquarvel::protocol {

// The nearest integer to numerator / denominator, a half going to the even
// neighbour. Both are counts or sums of bytes: numerator >= 0, denominator > 0.
std::int64_t DivideRoundHalfEven(std::int64_t numerator, std::int64_t denominator);

// The control part of an opening record: the check sums S1 and S2 of bytes 1 to
// 119 and the four control digits derived from them and from bytes 120 to 122.
struct ControlPart {
  std::uint8_t s1 = 0;
  std::uint8_t s2 = 0;
  char digits[4] = {'0', '0', '0', '0'};
};

// Computes the control part of a 128-byte record; only bytes 1 to 122 are read.
ControlPart ComputeControlPart(std::string_view record);

// Writes the control part into bytes 123 to 128 of a 128-byte record.
void ApplyControlPart(std::string& record);

// Whether bytes 123 to 128 of a received record hold its control part.
bool ControlPartMatches(std::string_view record);

}  // namespace xmodemquarvel::protocol
