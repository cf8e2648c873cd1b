#pragma once

#include <ctime>
#include <optional>
#include <string>

namespace xmodemq {

// Times as the journal keeps them: UTC, ISO 8601, to the second
// ("2024-05-02T07:30:00Z"), so that their order as text is their order in
// time.
std::string UtcNow();
// The time of day, as every date of the command is taken from it: the
// system's clock, or, when XMODEMQ_TEST_NOW holds a journal time, that time
// at the command's start, running on from there. XMODEMQ_TEST_NOW is a seam
// for tests (a simulated week in minutes), documented as such; the waits and
// the outbox's `settle` stay on the real clocks.
std::time_t WallNow();
// The journal time of `when`, and back: the time of a journal time, nothing
// when the text is not exactly one.
std::string UtcText(std::time_t when);
std::optional<std::time_t> ParseUtc(const std::string& text);

// "2024-05-02 09:30:00": a journal time in the machine's local time, as a
// user reads it; the text itself when it is not a journal time.
std::string LocalTime(const std::string& utc);

// --since: "2024-05-02", "2024-05-02T09:30", "2024-05-02T09:30:15", a space
// in place of the T, with "Z" or an offset ("+02:00") or without (local
// time), or "today" and "yesterday" (local midnight). The journal time it
// stands for; nothing when it is none of these.
std::optional<std::string> SinceToUtc(const std::string& text);

}  // namespace xmodemq
