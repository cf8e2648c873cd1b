#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace xmodemq {

// How progress is shown on stderr.
enum class ProgressMode {
  None,   // --quiet
  Lines,  // --progress, or stderr is not a terminal and lines were asked for
  Bar,    // stderr is a terminal
};

ProgressMode ChooseProgressMode(bool quiet, bool lines, bool stderr_is_terminal);

// Progress of one file operation, fed by the component's Bloc… events with the
// running block count. Blocks are 128 bytes. The count may start above zero
// (a resumed transfer): speed and time left are reckoned on the blocks moved
// in this run only.
class Progress {
 public:
  using Clock = std::chrono::steady_clock;

  Progress(std::FILE* out, ProgressMode mode, std::string label,
           std::optional<int64_t> total_blocks);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void Block(int32_t count);
  // Clears the bar before other text goes to the same stream.
  void Interrupt();
  // Ends the display: a last line with the totals.
  void Finish();

  int64_t BlocksThisRun() const;
  double Seconds() const;

  // "12,3 Ko/s", "1 h 02 min" — the pieces of a progress line.
  static std::string FormatRate(double bytes_per_second);
  static std::string FormatDuration(double seconds);

 private:
  std::string Line(bool bar) const;
  void Draw(bool force);

  std::FILE* out_;
  ProgressMode mode_;
  std::string label_;
  std::optional<int64_t> total_;
  Clock::time_point start_;
  Clock::time_point last_draw_{};
  std::optional<int32_t> first_;
  int32_t last_ = 0;
  bool drawn_ = false;
  bool finished_ = false;
};

}  // namespace xmodemq
