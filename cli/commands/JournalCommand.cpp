#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "commandline/ExitCodes.h"
#include "commands/Commands.h"
#include "journal/Journal.h"
#include "journal/JournalListing.h"
#include "journal/JournalPlace.h"
#include "system/FileErrors.h"
#include "terminal/Terminal.h"

namespace xmodemq {

// Reads the journal without ever creating it: a journal that does not exist
// yet has no transfer to show.
int RunJournal(const Options& options) {
  const std::optional<JournalPlace> place = ChooseJournal(options.journal_path, options.no_journal);
  std::unique_ptr<Journal> journal;
  try {
    journal = Journal::Open(place->path, false, false);
  } catch (const JournalError& e) {
    throw Refusal(e.what());
  }
  std::vector<JournalRow> rows;
  if (journal) {
    try {
      rows = journal->List(options.since);
    } catch (const JournalError& e) {
      throw Refusal(e.what());
    }
  }
  if (options.file_name)
    std::erase_if(rows, [&](const JournalRow& row) { return !RowNamed(row, *options.file_name); });
  if (options.json) {
    for (const JournalRow& row : rows) std::printf("%s\n", RowJson(row).c_str());
    return kExitOk;
  }
  if (rows.empty()) {
    std::fprintf(stderr, "Aucun transfert dans le journal %s%s.\n", place->path.c_str(),
                 journal ? "" : " (il n'existe pas encore)");
    return kExitOk;
  }
  std::optional<std::size_t> columns;
  if (::isatty(STDOUT_FILENO) == 1) columns = TerminalWidth(STDOUT_FILENO).Get();
  // Files are shown from the current folder, as the user named them.
  std::error_code error;
  const std::string here = std::filesystem::current_path(error).string();
  for (const std::string& line : ListingLines(rows, columns, error ? "" : here))
    std::printf("%s\n", line.c_str());
  return kExitOk;
}

}  // namespace xmodemq
