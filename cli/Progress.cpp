#include "Progress.h"

#include <algorithm>
#include <cmath>

namespace xmodemq {
namespace {

constexpr int kBarWidth = 30;
constexpr auto kBarInterval = std::chrono::milliseconds(100);
constexpr auto kLineInterval = std::chrono::seconds(1);

}  // namespace

ProgressMode ChooseProgressMode(bool quiet, bool lines, bool stderr_is_terminal) {
  if (quiet) return ProgressMode::None;
  if (lines) return ProgressMode::Lines;
  return stderr_is_terminal ? ProgressMode::Bar : ProgressMode::None;
}

Progress::Progress(std::FILE* out, ProgressMode mode, std::string label,
                   std::optional<int64_t> total_blocks)
    : out_(out),
      mode_(mode),
      label_(std::move(label)),
      total_(total_blocks),
      start_(Clock::now()) {}

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

int64_t Progress::BlocksThisRun() const {
  if (!first_) return 0;
  return static_cast<int64_t>(last_) - *first_ + 1;
}

double Progress::Seconds() const {
  return std::chrono::duration<double>(Clock::now() - start_).count();
}

std::string Progress::Line(bool bar) const {
  const double seconds = Seconds();
  const double rate = seconds > 0 ? static_cast<double>(BlocksThisRun()) * 128.0 / seconds : 0.0;
  std::string line = label_ + " ";
  if (bar && total_ && *total_ > 0) {
    const double fraction =
        std::clamp(static_cast<double>(last_) / static_cast<double>(*total_), 0.0, 1.0);
    const int filled = static_cast<int>(fraction * kBarWidth);
    // Appended piece by piece: concatenated temporaries trip a false
    // -Wrestrict of g++ 12 at -O3.
    line += '[';
    line.append(static_cast<std::size_t>(filled), '#');
    line.append(static_cast<std::size_t>(kBarWidth - filled), '.');
    line += "] ";
    char percent[16];
    std::snprintf(percent, sizeof percent, "%3d %% ", static_cast<int>(fraction * 100.0));
    line += percent;
  }
  line += "bloc ";
  line += std::to_string(last_);
  if (total_) {
    line += '/';
    line += std::to_string(*total_);
  }
  line += ", ";
  line += FormatRate(rate);
  if (total_ && rate > 0 && !finished_) {
    const double left = static_cast<double>(*total_ - last_) * 128.0 / rate;
    line += ", reste " + FormatDuration(std::max(0.0, left));
  }
  if (finished_) line += ", " + FormatDuration(seconds);
  return line;
}

void Progress::Draw(bool force) {
  if (mode_ == ProgressMode::None) return;
  const auto now = Clock::now();
  const auto interval = mode_ == ProgressMode::Bar ? kBarInterval : kLineInterval;
  if (!force && drawn_ && now - last_draw_ < interval) return;
  last_draw_ = now;
  if (mode_ == ProgressMode::Bar) {
    std::fprintf(out_, "\r\033[K%s", Line(true).c_str());
  } else {
    std::fprintf(out_, "%s\n", Line(false).c_str());
  }
  std::fflush(out_);
  drawn_ = true;
}

void Progress::Block(int32_t count) {
  if (!first_) first_ = count;
  last_ = count;
  Draw(false);
}

void Progress::Interrupt() {
  if (mode_ == ProgressMode::Bar && drawn_) {
    std::fputs("\r\033[K", out_);
    std::fflush(out_);
    drawn_ = false;
  }
}

void Progress::Finish() {
  if (finished_) return;
  finished_ = true;
  if (mode_ == ProgressMode::None || !first_) return;
  if (mode_ == ProgressMode::Bar) {
    std::fprintf(out_, "\r\033[K%s\n", Line(true).c_str());
  } else {
    std::fprintf(out_, "%s\n", Line(false).c_str());
  }
  std::fflush(out_);
  drawn_ = false;
}

}  // namespace xmodemq
