#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "call/TransferLog.h"
#include "commandline/ExitCodes.h"
#include "commands/Commands.h"
#include "journal/Journal.h"
#include "journal/JournalListing.h"
#include "journal/JournalPlace.h"
#include "journal/postgresql/OutcomesKept.h"
#include "system/FileErrors.h"
#include "terminal/Pager.h"
#include "terminal/Terminal.h"
#include "terminal/Text.h"

namespace xmodemq {

// Reads the journal without changing anything, not even the files beside it:
// a journal that does not exist yet has no transfer to show.
int RunJournal(const Options& options) {
  const std::optional<JournalPlace> place = ChooseJournal(options.journal_path, options.no_journal);
  if (!place->address.empty()) {
    // What a database that went away during a call did not get.
    try {
      if (const std::size_t kept = KeptOutcomes(*place); kept > 0)
        PrintLine(
            stderr,
            "xmodemq: " + std::to_string(kept) +
                (kept > 1 ? " issues de transferts attendent" : " issue de transfert attend") +
                " dans " + place->path + ".en-attente d'être écrite" + (kept > 1 ? "s" : "") +
                " dans la base, qui n'était plus joignable : "
                "le prochain envoi ou la prochaine réception les y écrit d'abord");
    } catch (const JournalError& e) {
      PrintLine(stderr, std::string("xmodemq: ") + e.what());
    }
  }
  std::unique_ptr<Journal> journal;
  std::vector<JournalRow> rows;
  try {
    journal = Journal::Open(*place, Journal::Access::kRead);
    if (journal) rows = journal->List(options.since);
  } catch (const JournalError& e) {
    if (e.Unreachable()) throw JournalUnreachable(e.what());
    throw Refusal(e.what());
  }
  if (options.file_name)
    std::erase_if(rows, [&](const JournalRow& row) { return !RowNamed(row, *options.file_name); });
  // Journal times are UTC texts of one form: their order is the text's.
  if (options.until)
    std::erase_if(rows, [&](const JournalRow& row) { return row.started >= *options.until; });
  if (options.lines && rows.size() > static_cast<std::size_t>(*options.lines))
    rows.erase(rows.begin(), rows.end() - *options.lines);
  if (options.json) {
    for (const JournalRow& row : rows) std::printf("%s\n", RowJson(row).c_str());
    return kExitOk;
  }
  if (rows.empty()) {
    PrintLine(stderr, "Aucun transfert dans le journal " +
                          (journal ? journal->Path() : place->path) +
                          (journal ? "." : " (il n'existe pas encore)."));
    return kExitOk;
  }
  // A pager or a pipe gets whole lines; a terminal, lines cut to its width.
  const Pager pager(options.no_pager);
  std::optional<std::size_t> columns;
  if (!pager.Paging() && ::isatty(STDOUT_FILENO) == 1) columns = TerminalWidth(STDOUT_FILENO).Get();
  // Files are shown from the current folder, as the user named them.
  std::error_code error;
  const std::string here = std::filesystem::current_path(error).string();
  for (const std::string& line : ListingLines(rows, columns, error ? "" : here))
    std::fprintf(pager.Out(), "%s\n", line.c_str());
  return kExitOk;
}

}  // namespace xmodemq
