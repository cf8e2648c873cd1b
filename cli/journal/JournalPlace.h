#pragma once

#include <optional>
#include <string>

#include "files/HeldFolder.h"

namespace xmodemq {

// Where the journal is kept.
struct JournalPlace {
  std::string path;
  // The default place: the command makes its folders (0700) under `base`
  // ($XDG_STATE_HOME or $HOME), which it checks with them.
  bool default_place = false;
  std::string base = {};
  // The journal's PostgreSQL database (PgJournal.h), when it is kept in one;
  // `path` is then the default place, beside which the outcomes that the
  // database did not get wait (OutcomesKept.h).
  std::string address = {};
};

// Whether `chosen` names a PostgreSQL database ("postgresql://…",
// "postgres://…") rather than a file.
bool NamesDatabase(const std::string& chosen);

// --journal PATH, else $XMODEMQ_JOURNAL (either may name a database), else
// $XDG_STATE_HOME/xmodemq/journal.sqlite, else
// $HOME/.local/state/xmodemq/journal.sqlite (an empty or relative
// XDG_STATE_HOME is not one). Nothing with --no-journal. Throws Refusal when
// none of them says where.
std::optional<JournalPlace> ChooseJournal(const std::optional<std::string>& chosen,
                                          bool no_journal);

// The journal's folder, opened and checked through descriptors: the folder
// is the caller's (or root's) and others cannot write to it; the folders
// above it that are checked (its parent; for the default place, every one
// from `base` down, made 0700 when missing and `make`) are the caller's or
// root's and others cannot write to them unless they are sticky (/tmp): no
// one else can replace the journal, nor the folder it is in. Nothing when
// the folder is missing and `make` is false. Throws JournalError.
std::optional<HeldFolder> OpenJournalFolder(const JournalPlace& place, bool make);

}  // namespace xmodemq
