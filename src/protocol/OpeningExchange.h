#pragma once

#include <string>

#include "component/SharedFields.h"
#include "protocol/BlockLink.h"
#include "protocol/OpeningRecord.h"

namespace xmodemquarvel::protocol {

// The opening of every transfer: the request record goes out as frame 0, and
// the server's response frame comes back with its verdict and the position
// where the data go on (left in Record, PositionHigh and PositionLow).
class OpeningExchange {
 public:
  OpeningExchange(BlockLink& link, SharedFields& fields) : link_(link), f_(fields) {}

  // The record as the last request built it and the last response left it;
  // its PackType is what DataType reads and writes.
  OpeningRecord Record;

  // Reprise and the position fields keep what the caller put there.
  ReturnValues OpenTransfer(const std::string& UserId, const std::string& PSW,
                            const std::string& FileName, const std::string& Sens,
                            const std::string& PackType);
  // Asks with NAK for the server's frame 0 (its response to the opening, or
  // its closing report). An EOT in its place is an unexpected answer.
  ReturnValues AskForFrameZero();

 private:
  BlockLink& link_;
  SharedFields& f_;
};

}  // namespace xmodemquarvel::protocol
