#include "terminal/Progress.h"

#include <algorithm>
#include <cmath>

#include "system/Records.h"
#include "terminal/Terminal.h"
#include "terminal/Text.h"

namespace xmodemq {
namespace {

// The bar's widest and narrowest: below that it is left out.
constexpr std::size_t kBarWidth = 30;
constexpr std::size_t kNarrowestBar = 10;
constexpr auto kBarInterval = std::chrono::milliseconds(100);
constexpr auto kLineInterval = std::chrono::seconds(1);
using namespace std::chrono_literals;

}  // namespace

ProgressMode ChooseProgressMode(bool quiet, bool lines, bool stderr_is_terminal) {
  if (quiet) return ProgressMode::None;
  if (lines) return ProgressMode::Lines;
  return stderr_is_terminal ? ProgressMode::Bar : ProgressMode::Summary;
}

Progress::Progress(std::FILE* out, ProgressMode mode, std::string label,
                   std::optional<int64_t> total_blocks, std::function<std::size_t()> columns,
                   std::shared_ptr<Clock> clock)
    : out_(out),
      mode_(mode),
      label_(std::move(label)),
      total_(total_blocks),
      columns_(std::move(columns)),
      clock_(clock ? std::move(clock) : std::make_shared<xmodemquarvel::MonotonicClock>()),
      start_(clock_->Now()) {}

Progress::~Progress() {
  Interrupt();
}

std::string Progress::FormatRate(double bytes_per_second) {
  char text[32];
  if (bytes_per_second >= 1024.0 * 1024.0)
    std::snprintf(text, sizeof text, "%.1f Mo/s", bytes_per_second / (1024.0 * 1024.0));
  else if (bytes_per_second >= 1024.0)
    std::snprintf(text, sizeof text, "%.1f Ko/s", bytes_per_second / 1024.0);
  else
    std::snprintf(text, sizeof text, "%.0f o/s", bytes_per_second);
  std::string s = text;
  std::replace(s.begin(), s.end(), '.', ',');
  return s;
}

std::string Progress::FormatDuration(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0) return "?";
  const auto total = static_cast<long long>(std::llround(seconds));
  char text[32];
  if (total >= 3600)
    std::snprintf(text, sizeof text, "%lld h %02lld min", total / 3600, (total % 3600) / 60);
  else if (total >= 60)
    std::snprintf(text, sizeof text, "%lld min %02lld s", total / 60, total % 60);
  else
    std::snprintf(text, sizeof text, "%lld s", total);
  return text;
}

std::string Progress::FormatTenths(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", seconds);
  std::string s = text;
  std::replace(s.begin(), s.end(), '.', ',');
  return s;
}

int64_t Progress::BlocksThisRun() const {
  if (!first_) return 0;
  return static_cast<int64_t>(last_) - *first_ + 1;
}

double Progress::Seconds() const {
  return std::chrono::duration<double>((finished_ ? end_ : clock_->Now()) - start_).count();
}

std::string Progress::Line(std::optional<std::size_t> columns) const {
  const double seconds = Seconds();
  const double rate = seconds > 0 ? static_cast<double>(BlocksThisRun() * kRecord) / seconds : 0.0;
  const double fraction =
      total_ && *total_ > 0
          ? std::clamp(static_cast<double>(last_) / static_cast<double>(*total_), 0.0, 1.0)
          : 0.0;
  std::string percent;
  if (columns && total_ && *total_ > 0) {
    char text[16];
    std::snprintf(text, sizeof text, "%3d %% ", static_cast<int>(fraction * 100.0));
    percent = text;
  }
  std::string count = "bloc " + std::to_string(last_);
  if (total_) count += "/" + std::to_string(*total_);
  const std::string speed = ", " + FormatRate(rate);
  std::string time;
  if (finished_) {
    time = ", " + FormatDuration(seconds);
  } else if (total_ && rate > 0) {
    const double left = static_cast<double>((*total_ - last_) * kRecord) / rate;
    time = ", reste " + FormatDuration(std::max(0.0, left));
  }
  const std::string head = label_ + " ";
  if (!wait_full_.empty() && !finished_) {
    if (!columns) return head + count + wait_full_;
    // What is awaited matters less than the attempt and the time left.
    const std::size_t limit = *columns > 1 ? *columns - 1 : 1;
    for (const std::string& line : {head + percent + count + wait_full_, head + count + wait_mid_,
                                    count + wait_mid_, count + wait_short_, wait_short_.substr(2)})
      if (Columns(line) <= limit) return line;
    return FitColumns(wait_short_.substr(2), limit);
  }
  if (!columns) return head + count + speed + time;

  // One column short of the width: writing the last column wraps on some
  // terminals. The bar takes the room left beside the longest speed and time
  // that are likely, so that it keeps its width from one redraw to the next;
  // the time and then the speed go when even that is too much.
  constexpr std::size_t kTailRoom = 30;
  const std::size_t limit = *columns > 1 ? *columns - 1 : 1;
  const std::size_t widest_count =
      total_ ? 5 + 2 * std::to_string(*total_).size() + 1 : Columns(count);
  const std::size_t rest = Columns(head + percent) + std::max(widest_count, Columns(count)) +
                           std::max(kTailRoom, Columns(speed + time));
  if (total_ && *total_ > 0 && rest + 3 + kNarrowestBar <= limit) {
    const std::size_t width = std::min(kBarWidth, limit - rest - 3);
    const auto filled = static_cast<std::size_t>(fraction * static_cast<double>(width));
    // Appended piece by piece: concatenated temporaries trip a false
    // -Wrestrict of g++ 12 at -O3.
    std::string line = head;
    line += '[';
    line.append(filled, '#');
    line.append(width - filled, '.');
    line += "] ";
    line += percent;
    line += count;
    line += speed;
    line += time;
    return line;
  }
  // The count and the time left matter most, the label and the speed least.
  for (const std::string& line :
       {head + percent + count + speed + time, head + percent + count + time, head + count + time,
        count + time, head + count, count})
    if (Columns(line) <= limit) return line;
  return FitColumns(count, limit);
}

void Progress::Draw(bool force) {
  if (mode_ == ProgressMode::None || mode_ == ProgressMode::Summary) return;
  const auto now = clock_->Now();
  const auto interval = mode_ == ProgressMode::Bar ? kBarInterval : kLineInterval;
  if (!force && drawn_ && now - last_draw_ < interval) return;
  last_draw_ = now;
  if (mode_ == ProgressMode::Bar) {
    const std::size_t columns = Width();
    std::fputs(bar_.Draw(Line(columns), columns).c_str(), out_);
  } else {
    std::fprintf(out_, "%s\n", Line(std::nullopt).c_str());
  }
  std::fflush(out_);
  drawn_ = true;
}

std::size_t Progress::Width() const {
  return columns_ ? columns_() : 80;
}

void Progress::Block(int32_t count) {
  if (!first_) first_ = count;
  last_ = count;
  last_block_ = clock_->Now();
  const bool was_waiting = !wait_full_.empty();
  wait_full_.clear();
  attempt_told_ = 0;
  Draw(was_waiting);
}

void Progress::Waiting(const xmodemquarvel::WaitState& state) {
  if (mode_ == ProgressMode::None || mode_ == ProgressMode::Summary || finished_) return;
  const auto now = clock_->Now();
  const bool waiting = state.awaiting == xmodemquarvel::WaitState::Awaiting::kServer &&
                       state.remaining &&
                       (state.attempt > 1 || now - std::max(last_block_, start_) >= 1s);
  if (!waiting) return;
  const auto left = std::chrono::ceil<std::chrono::seconds>(*state.remaining).count();
  const std::string attempt =
      "tentative " + std::to_string(state.attempt) + "/" + std::to_string(state.attempts);
  const std::string time = FormatDuration(static_cast<double>(left));
  const std::string full = ", attend " + state.expected + " (" + attempt + ", encore " + time + ")";
  if (mode_ == ProgressMode::Lines) {
    // One line an attempt, from the second on: a log needs no countdown.
    if (state.attempt > 1 && state.attempt != attempt_told_) {
      attempt_told_ = state.attempt;
      wait_full_ = ", attend " + state.expected + " (" + attempt + ")";
      std::fprintf(out_, "%s\n", Line(std::nullopt).c_str());
      std::fflush(out_);
    }
    wait_full_.clear();
    return;
  }
  if (full == wait_full_) return;
  wait_full_ = full;
  wait_mid_ = ", " + attempt + ", encore " + time;
  wait_short_ =
      ", " + std::to_string(state.attempt) + "/" + std::to_string(state.attempts) + " " + time;
  Draw(true);
}

void Progress::Interrupt() {
  if (mode_ == ProgressMode::Bar && bar_.Drawn()) {
    std::fputs(bar_.Clear(Width()).c_str(), out_);
    std::fflush(out_);
    drawn_ = false;
  }
}

void Progress::Finish() {
  if (finished_) return;
  end_ = clock_->Now();
  finished_ = true;
  if (mode_ == ProgressMode::None || mode_ == ProgressMode::Summary || !first_) return;
  if (mode_ == ProgressMode::Bar) {
    const std::size_t columns = Width();
    std::fprintf(out_, "%s\n", bar_.Draw(Line(columns), columns).c_str());
    bar_ = RedrawnLine();
  } else {
    std::fprintf(out_, "%s\n", Line(std::nullopt).c_str());
  }
  std::fflush(out_);
  drawn_ = false;
}

}  // namespace xmodemq
