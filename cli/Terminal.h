#pragma once

#include <csignal>
#include <cstddef>
#include <string>
#include <string_view>

namespace xmodemq {

// Columns that UTF-8 text takes on a terminal: one per character (the command
// writes no wide characters).
std::size_t Columns(std::string_view text);
// The text cut to at most `columns` columns, never inside a character.
std::string FitColumns(std::string_view text, std::size_t columns);

// The width of the terminal behind a descriptor, read again after each
// SIGWINCH so that a resized window is followed.
class TerminalWidth {
 public:
  explicit TerminalWidth(int fd);
  ~TerminalWidth();
  TerminalWidth(const TerminalWidth&) = delete;
  TerminalWidth& operator=(const TerminalWidth&) = delete;

  // 80 when the terminal does not say.
  std::size_t Get();

 private:
  int fd_;
  unsigned seen_ = 0;
  std::size_t columns_ = 80;
  struct sigaction old_ {};
};

}  // namespace xmodemq
