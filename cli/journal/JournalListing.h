#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "journal/JournalRow.h"

namespace xmodemq {

// The rows as a table for people, in their order: a heading, then a line per
// row (local start time to the minute, direction, blocks (held before +
// moved, when resumed), result, exit status, the file, the server's name
// when the file's does not say it and, after a failure, why). A file under `base` (a folder,
// absolute) is shown relative to it. Given `columns` (a terminal's width), no line reaches it: the
// reason goes, then a long file name loses its beginning.
std::vector<std::string> ListingLines(const std::vector<JournalRow>& rows,
                                      std::optional<std::size_t> columns,
                                      const std::string& base = {});

// Whether `name` is the row's file (its base name) or the server's name for
// it (as the server compares names).
bool RowNamed(const JournalRow& row, const std::string& name);

}  // namespace xmodemq
