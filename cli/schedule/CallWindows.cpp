#include "schedule/CallWindows.h"

#include <array>
#include <string_view>

namespace xmodemq {
namespace {

constexpr std::array<std::string_view, 7> kDays = {"Su", "Mo", "Tu", "We", "Th", "Fr", "Sa"};

std::optional<int> Day(std::string_view text) {
  for (std::size_t d = 0; d < kDays.size(); ++d)
    if (kDays[d] == text) return static_cast<int>(d);
  return std::nullopt;
}

// "19:00" → 1140; "24:00" only where `end_of_day` allows it.
std::optional<int> Minutes(std::string_view text, bool end_of_day) {
  if (text.size() != 5 || text[2] != ':') return std::nullopt;
  for (const std::size_t i : {0, 1, 3, 4})
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
  const int hours = (text[0] - '0') * 10 + (text[1] - '0');
  const int minutes = (text[3] - '0') * 10 + (text[4] - '0');
  if (minutes > 59) return std::nullopt;
  if (hours == 24 && minutes == 0 && end_of_day) return 24 * 60;
  if (hours > 23) return std::nullopt;
  return hours * 60 + minutes;
}

// "Mo-Fr", "Sa", "Mo,We,Fr": a set of days; a range may wrap ("Fr-Mo").
std::optional<unsigned> Days(std::string_view text) {
  unsigned days = 0;
  if (const auto dash = text.find('-'); dash != std::string_view::npos) {
    const auto from = Day(text.substr(0, dash)), to = Day(text.substr(dash + 1));
    if (!from || !to) return std::nullopt;
    for (int d = *from;; d = (d + 1) % 7) {
      days |= 1u << d;
      if (d == *to) break;
    }
    return days;
  }
  std::size_t at = 0;
  for (;;) {
    const auto comma = text.find(',', at);
    const auto day = Day(text.substr(at, comma == std::string_view::npos ? comma : comma - at));
    if (!day) return std::nullopt;
    days |= 1u << *day;
    if (comma == std::string_view::npos) return days;
    at = comma + 1;
  }
}

bool Inside(const CallWindow& w, int wday, int minute) {
  const int yesterday = (wday + 6) % 7;
  if (w.start < w.end) return (w.days >> wday & 1u) != 0 && minute >= w.start && minute < w.end;
  // Past midnight: from the start on the day it opens, until the end the day after.
  return ((w.days >> wday & 1u) != 0 && minute >= w.start) ||
         ((w.days >> yesterday & 1u) != 0 && minute < w.end);
}

}  // namespace

ParsedWindow ParseCallWindow(const std::string& text) {
  const std::string_view all(text);
  const auto space = all.find(' ');
  const auto dash = space == std::string_view::npos ? space : all.find('-', space);
  if (space == std::string_view::npos || dash == std::string_view::npos)
    return {std::nullopt, "attend « JOURS HH:MM-HH:MM », par exemple « Mo-Fr 19:00-07:00 »"};
  const auto days = Days(all.substr(0, space));
  if (!days)
    return {std::nullopt, "a des jours inconnus « " + std::string(all.substr(0, space)) +
                              " » (jours : Mo Tu We Th Fr Sa Su, « Mo-Fr » ou « Mo,We »)"};
  const auto start = Minutes(all.substr(space + 1, dash - space - 1), false);
  const auto end = Minutes(all.substr(dash + 1), true);
  if (!start || !end)
    return {std::nullopt, "a une heure invalide dans « " + std::string(all.substr(space + 1)) +
                              " » (de 00:00 à 23:59, fin jusqu'à 24:00)"};
  if (*start == *end)
    return {std::nullopt,
            "ouvre et ferme à la même heure : « " + std::string(all.substr(space + 1)) + " »"};
  return {CallWindow{*days, *start, *end}, {}};
}

bool InsideWindows(const std::vector<CallWindow>& windows, std::time_t now) {
  if (windows.empty()) return true;
  struct tm local {};
  ::localtime_r(&now, &local);
  const int minute = local.tm_hour * 60 + local.tm_min;
  for (const CallWindow& w : windows)
    if (Inside(w, local.tm_wday, minute)) return true;
  return false;
}

std::optional<std::time_t> NextWindowOpening(const std::vector<CallWindow>& windows,
                                             std::time_t now) {
  const std::time_t first = now - now % 60;
  for (std::time_t at = first; at < first + 8 * 24 * 3600; at += 60)
    if (InsideWindows(windows, at < now ? now : at)) return at < now ? now : at;
  return std::nullopt;
}

}  // namespace xmodemq
