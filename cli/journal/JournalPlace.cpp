#include "journal/JournalPlace.h"

#include <cstdlib>

#include "system/FileErrors.h"

namespace xmodemq {
namespace {

std::optional<std::string> Variable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::string(value);
}

}  // namespace

std::optional<JournalPlace> ChooseJournal(const std::optional<std::string>& chosen,
                                          bool no_journal) {
  if (no_journal) return std::nullopt;
  if (chosen) return JournalPlace{*chosen, false};
  if (const auto path = Variable("XMODEMQ_JOURNAL")) return JournalPlace{*path, false};
  if (const auto state = Variable("XDG_STATE_HOME"); state && (*state)[0] == '/')
    return JournalPlace{*state + "/xmodemq/journal.sqlite", true};
  if (const auto home = Variable("HOME"))
    return JournalPlace{*home + "/.local/state/xmodemq/journal.sqlite", true};
  throw Refusal(
      "aucun journal : ni --journal, ni XMODEMQ_JOURNAL, ni XDG_STATE_HOME, ni HOME ne disent où "
      "le tenir. Le journal garde la trace de chaque transfert et empêche d'envoyer deux fois "
      "le même fichier : donnez --journal FICHIER, ou --no-journal pour s'en passer");
}

}  // namespace xmodemq
