#pragma once

#include <array>
#include <cstdint>

#include "component/FixedField.h"

namespace xmodemquarvel {

// The 128-byte record that opens every transfer, and the layout of the
// server's response and report frames. Each field is fixed-width.
struct OpeningRecord {
  FixedField<4> Version;
  FixedField<40> UserId;
  FixedField<40> PSW;
  FixedField<17> BaseName;
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

  static constexpr std::size_t kSize = 128;
};

}  // namespace xmodemquarvel
