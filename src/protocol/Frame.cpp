#include "protocol/Frame.h"

#include <stdexcept>

namespace xmodemquarvel::protocol {

std::uint8_t Checksum(std::string_view data) {
  unsigned sum = 0;
  for (char c : data) sum += Byte(c);
  return static_cast<std::uint8_t>(sum & 0xFFu);
}

std::string BuildFrame(std::uint8_t number, std::string_view data) {
  if (data.size() != kDataSize) throw std::invalid_argument("a data frame carries 128 bytes");
  std::string frame;
  frame.reserve(kFrameSize);
  frame.push_back(SOH);
  frame.push_back(static_cast<char>(number));
  frame.push_back(static_cast<char>(0xFFu - number));
  frame.append(data);
  frame.push_back(static_cast<char>(Checksum(data)));
  return frame;
}

FrameVerdict JudgeFrame(std::string_view frame, std::uint8_t last_number) {
  const unsigned n = Byte(frame[1]);
  const unsigned c = Byte(frame[2]);
  if (n + c == 0xFFu && n == ((last_number + 1u) & 0xFFu)) {
    return Checksum(FrameData(frame)) == Byte(frame[131]) ? FrameVerdict::kGood
                                                          : FrameVerdict::kBadChecksum;
  }
  // The repetition is recognised by its number alone.
  if (n == last_number) return FrameVerdict::kPrevious;
  return FrameVerdict::kOther;
}

}  // namespace xmodemquarvel::protocol
