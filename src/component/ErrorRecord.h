#pragma once

#include <cstdint>
#include <string>

namespace xmodemquarvel {

// Where every operation reports its failures: a source, a description and a
// number that hosts do not see. One record per thread, shared by every object
// on that thread: a host reads there the report of the last operation made on
// its thread, whichever object made it.
struct ErrorRecord {
  std::string Source;
  std::string Description;
  int32_t Number = 0;

  // Arming an error trap empties the record.
  void Clear() {
    Source.clear();
    Description.clear();
    Number = 0;
  }
};

ErrorRecord& ThreadErrorRecord();

// Source written into the record while a failure of the serial layer is held.
inline constexpr const char* kSerialLayerSource = "Port série";

}  // namespace xmodemquarvel
