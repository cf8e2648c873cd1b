#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace xmodemquarvel {

// Line settings as the text "baud,parity,data,stop": "9600,N,8,1",
// "19200,E,7,1". Parity N, E, O, M or S in either case; 5 to 8 data bits;
// stop bits 1, 1.5 (with 5 data bits only) or 2 (with 6 to 8 data bits), as a
// UART can frame them; a baud rate that termios offers.
struct LineSettings {
  int32_t baud = 9600;
  char parity = 'N';
  int data_bits = 8;
  // Stop bits in halves: 2 for one, 3 for one and a half, 4 for two.
  int stop_halves = 2;

  // Nothing on a malformed or unsupported text; `why` says what is wrong.
  static std::optional<LineSettings> Parse(std::string_view text, std::string* why = nullptr);
  std::string ToString() const;
};

// The termios speed constant for a baud rate, or 0 when termios has none.
unsigned TermiosSpeed(int32_t baud);

}  // namespace xmodemquarvel
