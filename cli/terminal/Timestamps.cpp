#include "terminal/Timestamps.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace xmodemq {
namespace {

std::string Format(std::time_t when, bool utc) {
  std::tm parts{};
  if (utc)
    ::gmtime_r(&when, &parts);
  else
    ::localtime_r(&when, &parts);
  char text[32];
  std::strftime(text, sizeof text, utc ? "%Y-%m-%dT%H:%M:%SZ" : "%Y-%m-%d %H:%M:%S", &parts);
  return text;
}

// Reads exactly `digits` digits at `at`.
bool Number(const std::string& text, std::size_t& at, int digits, int& value) {
  value = 0;
  for (int i = 0; i < digits; ++i, ++at) {
    if (at >= text.size() || text[at] < '0' || text[at] > '9') return false;
    value = value * 10 + (text[at] - '0');
  }
  return true;
}

bool Literal(const std::string& text, std::size_t& at, char c) {
  if (at >= text.size() || text[at] != c) return false;
  ++at;
  return true;
}

// The broken-down time of a date and time as written.
std::tm Parts(int year, int month, int day, int hour, int minute, int second) {
  std::tm parts{};
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  parts.tm_mday = day;
  parts.tm_hour = hour;
  parts.tm_min = minute;
  parts.tm_sec = second;
  return parts;
}

}  // namespace

std::time_t WallNow() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  // The seam's distance from the real clock, taken once.
  static const std::time_t shift = [now] {
    const char* text = std::getenv("XMODEMQ_TEST_NOW");
    const auto when = text ? ParseUtc(text) : std::nullopt;
    return when ? *when - now : std::time_t{0};
  }();
  return now + shift;
}

std::string UtcNow() {
  return UtcText(WallNow());
}

std::string UtcText(std::time_t when) {
  return Format(when, true);
}

std::optional<std::time_t> ParseUtc(const std::string& utc) {
  std::size_t at = 0;
  int year, month, day, hour, minute, second;
  if (!(Number(utc, at, 4, year) && Literal(utc, at, '-') && Number(utc, at, 2, month) &&
        Literal(utc, at, '-') && Number(utc, at, 2, day) && Literal(utc, at, 'T') &&
        Number(utc, at, 2, hour) && Literal(utc, at, ':') && Number(utc, at, 2, minute) &&
        Literal(utc, at, ':') && Number(utc, at, 2, second) && Literal(utc, at, 'Z') &&
        at == utc.size()))
    return std::nullopt;
  std::tm parts = Parts(year, month, day, hour, minute, second);
  return ::timegm(&parts);
}

std::string LocalTime(const std::string& utc) {
  const auto when = ParseUtc(utc);
  return when ? Format(*when, false) : utc;
}

std::optional<std::string> SinceToUtc(const std::string& text) {
  // Local midnight, today's or yesterday's.
  if (text == "today" || text == "yesterday") {
    std::time_t now = WallNow();
    std::tm local{};
    ::localtime_r(&now, &local);
    local.tm_hour = local.tm_min = local.tm_sec = 0;
    if (text == "yesterday") --local.tm_mday;
    local.tm_isdst = -1;
    return Format(std::mktime(&local), true);
  }
  std::size_t at = 0;
  int year, month, day, hour = 0, minute = 0, second = 0;
  if (!Number(text, at, 4, year) || !Literal(text, at, '-') || !Number(text, at, 2, month) ||
      !Literal(text, at, '-') || !Number(text, at, 2, day))
    return std::nullopt;
  if (at < text.size()) {
    if (text[at] != 'T' && text[at] != ' ') return std::nullopt;
    ++at;
    if (!Number(text, at, 2, hour) || !Literal(text, at, ':') || !Number(text, at, 2, minute))
      return std::nullopt;
    if (at < text.size() && text[at] == ':' && !(++at, Number(text, at, 2, second)))
      return std::nullopt;
  }
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
    return std::nullopt;
  std::tm parts = Parts(year, month, day, hour, minute, second);
  std::time_t when;
  if (at == text.size()) {
    // No zone: the machine's local time, as ISO 8601 reads it.
    parts.tm_isdst = -1;
    when = std::mktime(&parts);
  } else if (text[at] == 'Z' && at + 1 == text.size()) {
    when = ::timegm(&parts);
  } else if (text[at] == '+' || text[at] == '-') {
    const int sign = text[at] == '+' ? 1 : -1;
    ++at;
    int off_hours, off_minutes = 0;
    if (!Number(text, at, 2, off_hours)) return std::nullopt;
    if (at < text.size()) {
      Literal(text, at, ':');
      if (!Number(text, at, 2, off_minutes)) return std::nullopt;
    }
    if (at != text.size() || off_hours > 14 || off_minutes > 59) return std::nullopt;
    when = ::timegm(&parts) - sign * (off_hours * 3600 + off_minutes * 60);
  } else {
    return std::nullopt;
  }
  return Format(when, true);
}

}  // namespace xmodemq
