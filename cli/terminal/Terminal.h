#pragma once

#include <csignal>
#include <cstddef>
#include <string>
#include <string_view>

namespace xmodemq {

// A line redrawn in place on a terminal. It is always drawn narrower than the
// terminal, but a window narrowed since wraps it onto more rows (terminals
// reflow their lines on a resize): what replaces it goes back up over all of
// them and clears them, so that no fragment of a longer line stays.
class RedrawnLine {
 public:
  // The bytes that erase the line drawn last and leave the cursor at the
  // start of its first row, on a terminal now `columns` wide; empty when
  // nothing is drawn.
  std::string Clear(std::size_t columns);
  // The bytes that replace the line drawn last by `text`, which the caller
  // has fitted into `columns`.
  std::string Draw(const std::string& text, std::size_t columns);
  bool Drawn() const { return drawn_; }

 private:
  bool drawn_ = false;
  std::size_t drawn_columns_ = 0;
};

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
