#include "protocol/ControlDigits.h"

#include <stdexcept>

#include "protocol/Frame.h"

namespace xmodemquarvel::protocol {
namespace {

constexpr std::size_t kSummed = 119;    // bytes 1 to 119
constexpr std::size_t kDigitsAt = 124;  // byte 125, counted from 0

}  // namespace

std::int64_t DivideRoundHalfEven(std::int64_t numerator, std::int64_t denominator) {
  std::int64_t q = numerator / denominator;
  const std::int64_t r = numerator % denominator;
  const std::int64_t twice = 2 * r;
  if (twice > denominator || (twice == denominator && (q & 1) != 0)) ++q;
  return q;
}

ControlPart ComputeControlPart(std::string_view record) {
  if (record.size() < 122) throw std::invalid_argument("an opening record has 128 bytes");
  ControlPart part;
  unsigned sum = 0;
  unsigned low_nibbles = 0;
  for (std::size_t i = 0; i < kSummed; ++i) {
    sum += Byte(record[i]);
    low_nibbles += Byte(record[i]) & 0x0Fu;
  }
  part.s1 = static_cast<std::uint8_t>(sum & 0xFFu);
  part.s2 = static_cast<std::uint8_t>(low_nibbles & 0xFFu);
  const std::int64_t s3 = (Byte(record[119]) + Byte(record[120]) + Byte(record[121])) & 0xFFu;

  const std::int64_t s2 = part.s2 == 0 ? 13 : part.s2;
  std::int64_t r = s3 % s2;
  if (r == 0) r = 1;
  // V = S2 / R + 13 * (S2 mod R), the quotient exact, the sum rounded.
  const std::int64_t v = DivideRoundHalfEven(s2 + 13 * (s2 % r) * r, r);
  std::int64_t d = v % 10000;
  for (int p = 3; p >= 0; --p) {
    part.digits[p] = static_cast<char>('0' + d % 10);
    // The quotient is rounded, not cut: 976 reads 1, 0, 8, 6.
    d = DivideRoundHalfEven(d, 10);
  }
  return part;
}

void ApplyControlPart(std::string& record) {
  const ControlPart part = ComputeControlPart(record);
  record[122] = static_cast<char>(part.s1);
  record[123] = static_cast<char>(part.s2);
  for (std::size_t i = 0; i < 4; ++i) record[kDigitsAt + i] = part.digits[i];
}

bool ControlPartMatches(std::string_view record) {
  if (record.size() != kDataSize) return false;
  std::string copy(record);
  ApplyControlPart(copy);
  return copy == record;
}

}  // namespace xmodemquarvel::protocol
