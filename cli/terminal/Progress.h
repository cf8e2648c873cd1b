#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "terminal/Terminal.h"
#include "xmodemquarvel/Clock.h"
#include "xmodemquarvel/WaitState.h"

namespace xmodemq {

// How progress is shown on stderr.
enum class ProgressMode {
  None,     // --quiet
  Summary,  // stderr is not a terminal: only the line that ends the operation
  Lines,    // --progress: plain lines, for logs
  Bar,      // stderr is a terminal: one line redrawn in place
};

ProgressMode ChooseProgressMode(bool quiet, bool lines, bool stderr_is_terminal);

// Progress of one file operation, fed by the component's Bloc… events with the
// running block count. Blocks are records (kRecord bytes). The count may start above zero
// (a resumed transfer): speed and time left are reckoned on the blocks moved
// in this run only.
class Progress {
 public:
  using Clock = xmodemquarvel::Clock;

  // `columns` gives the terminal's width for the bar (80 when not given);
  // `clock` times the redraws and the speed (the monotonic clock when not
  // given; a session passes the component's).
  Progress(std::FILE* out, ProgressMode mode, std::string label,
           std::optional<int64_t> total_blocks, std::function<std::size_t()> columns = {},
           std::shared_ptr<Clock> clock = nullptr);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void Block(int32_t count);
  // What the component waits for meanwhile (read from its yield). Once a wait
  // has gone a second without a block, or from its second attempt on, the
  // line tells what is awaited, the attempt and the time left, redrawn each
  // second, in place of a speed that would go stale; with plain lines, one
  // line for each new attempt. The next block brings the usual line back.
  void Waiting(const xmodemquarvel::WaitState& state);
  // Clears the bar before other text goes to the same stream.
  void Interrupt();
  // Ends the display: a last line with the totals.
  void Finish();

  int64_t BlocksThisRun() const;
  // Seconds since the start, or until Finish() once it was called.
  double Seconds() const;

  // "12,3 Ko/s", "1 h 02 min" — the pieces of a progress line.
  static std::string FormatRate(double bytes_per_second);
  static std::string FormatDuration(double seconds);
  // "12,3 s": a duration to the tenth of a second.
  static std::string FormatTenths(double seconds);

 private:
  // The line; with a width, fitted into it with a bar when there is room.
  std::string Line(std::optional<std::size_t> columns) const;
  void Draw(bool force);
  std::size_t Width() const;

  std::FILE* out_;
  ProgressMode mode_;
  std::string label_;
  std::optional<int64_t> total_;
  std::function<std::size_t()> columns_;
  std::shared_ptr<Clock> clock_;
  Clock::TimePoint start_;
  Clock::TimePoint end_{};
  Clock::TimePoint last_draw_{};
  std::optional<int32_t> first_;
  int32_t last_ = 0;
  Clock::TimePoint last_block_{};
  // The wait shown in place of the speed, in three lengths (empty: none), and
  // the attempt last told with plain lines.
  std::string wait_full_, wait_mid_, wait_short_;
  int32_t attempt_told_ = 0;
  bool drawn_ = false;
  bool finished_ = false;
  RedrawnLine bar_;
};

}  // namespace xmodemq
