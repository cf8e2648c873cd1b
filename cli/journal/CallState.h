#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace xmodemq {

// What the journal remembers of one profile's calls, for the exchange's
// schedule (the times are journal times, UTC).
struct CallState {
  // The last call: when it started and what came of it ("done", "nothing",
  // "later", "person", as the exchange's outcome).
  std::optional<std::string> last_call;
  std::string last_result;
  // Calls that failed in a row (busy, silent, cut), since when.
  std::int64_t failures = 0;
  std::optional<std::string> failing_since;
  // No call before this time (the back-off after a failure).
  std::optional<std::string> next_call;
  // The local day ("2024-05-02") that `calls_today` counts.
  std::string calls_day;
  std::int64_t calls_today = 0;
  // Why calls are stopped until a person resumes them; empty when not.
  std::string stopped;
};

// One condition an alert was raised for: open until `closed` is set.
struct AlertRecord {
  std::int64_t id = 0;
  // "held", "failing", "outbox_age", "stopped".
  std::string condition;
  std::string detail;
  std::string opened;
  std::optional<std::string> closed;
  // What came of the alert command ("0", "délai dépassé"...); empty: none ran.
  std::string command;
};

}  // namespace xmodemq
