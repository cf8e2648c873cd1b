#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "journal/JournalPlace.h"
#include "journal/JournalRow.h"

namespace xmodemq {

// The outcomes that the journal's database did not get because it went away
// during a call: a local record beside the SQLite journal of `place.path`
// (its name and ".en-attente"), private to the caller (0600, opened through
// its checked folder, never through a link), one row per line. A run that
// finds the database again writes them before anything else.

// Adds `row` (its end) to the record. Throws JournalError.
void KeepOutcome(const JournalPlace& place, const JournalRow& row);

// Passes each kept row to `write`, oldest first, then empties the record;
// under an exclusive lock, so that an outcome kept meanwhile waits for the
// next run rather than being lost. When `write` throws, the record is left
// whole (writing an end twice changes nothing). Throws JournalError.
void WriteKeptOutcomes(const JournalPlace& place,
                       const std::function<void(const JournalRow&)>& write);

// How many outcomes wait; 0 when there is no record.
std::size_t KeptOutcomes(const JournalPlace& place);

// One row as one line of the record, and back (nothing for a line that is
// not one).
std::string KeptLine(const JournalRow& row);
std::optional<JournalRow> ParseKeptLine(const std::string& line);

}  // namespace xmodemq
