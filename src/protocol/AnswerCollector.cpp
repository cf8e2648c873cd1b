#include "protocol/AnswerCollector.h"

#include "protocol/Frame.h"

namespace xmodemquarvel::protocol {

bool CollectAnswerByte(std::string& rx, char c) {
  const std::size_t length = rx.size();
  if (length == 0) {
    if (c == SOH || c == EOT || c == ACK || c == NAK) rx.push_back(c);
    return false;
  }
  if (length == 1 && rx[0] != SOH) return c == CR;
  if (length < kFrameSize - 1) {
    // Inside a frame every byte is data, a CR included.
    rx.push_back(c);
    return false;
  }
  if (length == kFrameSize - 1 && c == CR) {
    rx.push_back(c);
    return true;
  }
  return false;
}

bool AnswerCollector::Take(std::string& rx, char c) {
  if (!frame_expected_) return CollectAnswerByte(rx, c);
  if (rx.size() == 1 && rx[0] != SOH) {
    if (c == CR) {
      clean_ = rx[0] != EOT || !dropped_;
      return true;
    }
    // No answer: the control byte goes, and this byte may start one.
    rx.clear();
    dropped_ = true;
  }
  const std::size_t before = rx.size();
  const bool complete = CollectAnswerByte(rx, c);
  if (!complete && rx.size() == before) dropped_ = true;
  return complete;
}

}  // namespace xmodemquarvel::protocol
