#pragma once

#include <cstdint>
#include <string>

#include "component/ErrorRecord.h"
#include "component/FixedField.h"
#include "xmodemquarvel/Enums.h"

namespace xmodemquarvel {

// The fields of the one object that its layers share: the last answer, the
// current result, the block number and counter, the resume position, the
// flag of the progress events, and the thread's error record. The façade
// owns one and hands it to each layer; a layer's own fields stay in it.
struct SharedFields {
  // The result of the step in progress; a transfer's steps run while rvTrue.
  ReturnValues Result = rvFalse;
  // The last answer line or message received; after a failure, its text.
  std::string RxBuffer;
  // The dial command built by Connect; the frame being sent.
  std::string TxBuffer;
  // The character last taken from the line.
  FixedField<1> RxChar;
  // True while an answer line or a frame is being collected.
  bool LinePending = false;
  // The number of the frame sent last, or accepted last.
  int32_t BlocNumber = 0;
  // The block counter of the four file operations, handed by reference to
  // the progress events.
  int32_t BlocCount = 0;
  // The resume position, in blocks: PositionHigh × 256 + PositionLow.
  int32_t PositionHigh = 0;
  int32_t PositionLow = 0;
  // While true, the progress events are raised.
  bool TraceFlag = false;

  // The error record of the calling thread: read at each use, since one
  // object may be used by several threads in turn.
  static ErrorRecord& Error() { return ThreadErrorRecord(); }
};

}  // namespace xmodemquarvel
