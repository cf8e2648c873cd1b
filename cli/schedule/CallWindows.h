#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace xmodemq {

// One call window of a profile: "Mo-Fr 19:00-07:00", "Sa 00:00-24:00",
// "Mo,We 08:00-12:00". The days are those on which the window opens; a
// window whose end is not after its start runs past midnight into the next
// day ("Mo-Fr 19:00-07:00" is open on Saturday until 07:00).
struct CallWindow {
  // Bit d set: the window opens on day d (0 Sunday ... 6 Saturday, as tm_wday).
  unsigned days = 0;
  // Minutes from local midnight: [start, end), end 1440 for "24:00".
  int start = 0;
  int end = 0;
};

// The window `text` stands for, or why it is not one (a French text that
// names the part at fault).
struct ParsedWindow {
  std::optional<CallWindow> window;
  std::string error;
};
ParsedWindow ParseCallWindow(const std::string& text);

// Whether `now` falls inside one of `windows`, read on the local clock of the
// process's time zone (the profile's `timezone`, set in TZ): the days and
// hours are those a person reads on a wall clock, so a window keeps its hours
// across a change to or from summer time (an hour that the change skips is
// not lived, one that it repeats is lived twice). No window: always inside.
bool InsideWindows(const std::vector<CallWindow>& windows, std::time_t now);

// The first moment from `now` on (to the minute) that falls inside a
// window, looked for over the next eight days; nothing when none opens.
std::optional<std::time_t> NextWindowOpening(const std::vector<CallWindow>& windows,
                                             std::time_t now);

}  // namespace xmodemq
