#pragma once

#include <cstdint>
#include <string>

#include "xmodemquarvel/LineText.h"

namespace xmodemq {

// The record of the line and of the files (xmodemquarvel::kRecordSize bytes):
// the unit of a block, of a file that a send takes whole, of a packed file.
inline constexpr int64_t kRecord = static_cast<int64_t>(xmodemquarvel::kRecordSize);

// The records that `bytes` fill, the last one in part.
inline int64_t RecordsFor(int64_t bytes) {
  return (bytes + kRecord - 1) / kRecord;
}

// "1 bloc", "20 blocs" (0 and 1 take the singular in French).
inline std::string BlocksText(int64_t n) {
  return std::to_string(n) + (n > 1 ? " blocs" : " bloc");
}

// The record's size as messages say it, in bytes ("octets").
inline std::string RecordBytesText() {
  return std::to_string(kRecord) + " octets";
}

}  // namespace xmodemq
