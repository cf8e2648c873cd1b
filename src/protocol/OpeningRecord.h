#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "component/FixedField.h"
#include "xmodemquarvel/LineText.h"

namespace xmodemquarvel {

// The 128-byte record that opens every transfer, and the layout of the
// server's response and report frames. Each field is fixed-width.
struct OpeningRecord {
  FixedField<4> Version;
  FixedField<kUserIdWidth> UserId;
  FixedField<kPasswordWidth> PSW;
  FixedField<kServerNameWidth> BaseName;
  FixedField<3> Filler1;
  FixedField<4> BlockSize;
  FixedField<1> Status;
  FixedField<1> Sens;
  FixedField<1> Reprise;
  FixedField<1> PackType;
  FixedField<4> Filler2;
  FixedField<2> RecordPositionHigh;
  FixedField<1> RecordPositionLow;
  FixedField<9> Control;

  static constexpr std::size_t kSize = kRecordSize;

  // Offsets (from 0) of the fields that the far end's answers are read from.
  static constexpr std::size_t kStatusAt = 108;
  static constexpr std::size_t kRepriseAt = 110;
  static constexpr std::size_t kPositionHighAt = 116;
  static constexpr std::size_t kPositionLowAt = 118;

  // The fields in record order, 128 bytes.
  std::string Join() const;
};

namespace protocol {

// A resume position as it travels: a count of 128-byte blocks whose high part
// (the count divided by 256) is a signed 16-bit number sent low byte first, and
// whose low part is one byte.
struct Position {
  std::int32_t high = 0;
  std::int32_t low = 0;

  std::int64_t Blocks() const { return std::int64_t{high} * 256 + low; }
};

// Reads the position fields of a 128-byte record.
Position ReadPosition(std::string_view record);
// The three position bytes for `blocks` (high part low byte first, then low).
std::string EncodePosition(std::int64_t blocks);

// The base name of a path: its last component, without the text from its last
// dot on. Both '/' and '\' separate components, so names written for another
// system keep working; separators at the end are ignored.
std::string BaseNameOf(std::string_view path);

}  // namespace protocol
}  // namespace xmodemquarvel
