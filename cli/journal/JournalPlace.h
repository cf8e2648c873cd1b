#pragma once

#include <optional>
#include <string>

namespace xmodemq {

// Where the journal is kept.
struct JournalPlace {
  std::string path;
  // The default place, whose folders the command makes (0700).
  bool default_place = false;
};

// --journal PATH, else $XMODEMQ_JOURNAL, else
// $XDG_STATE_HOME/xmodemq/journal.sqlite, else
// $HOME/.local/state/xmodemq/journal.sqlite (an empty or relative
// XDG_STATE_HOME is not one). Nothing with --no-journal. Throws Refusal when
// none of them says where.
std::optional<JournalPlace> ChooseJournal(const std::optional<std::string>& chosen,
                                          bool no_journal);

}  // namespace xmodemq
