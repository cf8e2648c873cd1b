#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace xmodemquarvel {

// Builds the modem's answer lines from the bytes it sends: the high bit is
// dropped (a parity bit read as data), an LF ends a line that holds at least
// one character, other control codes (CR included) are dropped.
//
// Nothing but the time-out bounds a line the modem sends; past kMaxLength
// characters the rest of the line is dropped, so a babbling line cannot grow
// without end.
class AnswerLine {
 public:
  static constexpr std::size_t kMaxLength = 255;

  // Adds one received byte to `line`; true when the byte ended the line.
  static bool Take(std::string& line, std::uint8_t byte) {
    const auto c = static_cast<std::uint8_t>(byte & 0x7F);
    if (c == '\n') return !line.empty();
    if (c > 31 && line.size() < kMaxLength) line.push_back(static_cast<char>(c));
    return false;
  }

  // "CONNECT 9600" is "CONNECT"; "DELAYED 12" is "DELAYED".
  static void Shorten(std::string& line) {
    if (line.compare(0, 7, "CONNECT") == 0) {
      line = "CONNECT";
    } else if (line.compare(0, 7, "DELAYED") == 0) {
      line = "DELAYED";
    }
  }
};

}  // namespace xmodemquarvel
