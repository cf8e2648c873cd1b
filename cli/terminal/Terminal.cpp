#include "terminal/Terminal.h"

#include <sys/ioctl.h>

#include <atomic>

#include "terminal/Text.h"

namespace xmodemq {
namespace {

// Bumped by every SIGWINCH; each reader compares it with the value it saw.
std::atomic<unsigned> g_resizes{0};
static_assert(std::atomic<unsigned>::is_always_lock_free);

extern "C" void NoteResize(int) {
  g_resizes.fetch_add(1);
}

}  // namespace

std::string RedrawnLine::Clear(std::size_t columns) {
  if (!drawn_) return {};
  drawn_ = false;
  // Rows above the cursor that the last line now takes: with the cursor just
  // after its last character, a line that fills its last row exactly is
  // still on that row.
  const std::size_t width = columns > 0 ? columns : 1;
  const std::size_t above = drawn_columns_ > 0 ? (drawn_columns_ - 1) / width : 0;
  if (above == 0) return "\r\033[K";
  return "\r\033[" + std::to_string(above) + "A\033[J";
}

std::string RedrawnLine::Draw(const std::string& text, std::size_t columns) {
  std::string out = drawn_ ? Clear(columns) : "\r\033[K";
  out += text;
  drawn_ = true;
  drawn_columns_ = Columns(text);
  return out;
}

TerminalWidth::TerminalWidth(int fd) : fd_(fd), seen_(g_resizes.load() - 1) {
  struct sigaction action {};
  action.sa_handler = NoteResize;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGWINCH, &action, &old_);
}

TerminalWidth::~TerminalWidth() {
  ::sigaction(SIGWINCH, &old_, nullptr);
}

std::size_t TerminalWidth::Get() {
  const unsigned now = g_resizes.load();
  if (now != seen_) {
    seen_ = now;
    winsize size{};
    if (::ioctl(fd_, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) columns_ = size.ws_col;
  }
  return columns_;
}

}  // namespace xmodemq
