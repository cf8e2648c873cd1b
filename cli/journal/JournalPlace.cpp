#include "journal/JournalPlace.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "files/GroupReader.h"
#include "journal/Journal.h"
#include "system/FileErrors.h"
#include "system/Paths.h"

namespace xmodemq {
namespace {

std::optional<std::string> Variable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::string(value);
}

// A folder above the journal's, `name` in messages: why another user could
// put another folder in place of the one below it. Others may write to a
// sticky folder (/tmp) of the caller or root: they cannot rename what is
// not theirs in it.
void CheckAbove(const HeldFolder& folder, const std::string& name) {
  struct stat st {};
  if (::fstat(folder.Fd(), &st) != 0) throw JournalError(FileError("lire", name, errno));
  const bool sticky = (st.st_mode & S_ISVTX) != 0 && (st.st_uid == ::geteuid() || st.st_uid == 0);
  if (const auto why = NotPrivate(st, Owner::kCallerOrRoot); why && !sticky)
    throw JournalError("le dossier " + name + ", au-dessus du journal, " + *why +
                       " : un autre que vous pourrait y remplacer le dossier du journal. "
                       "Choisissez un dossier à vous (--journal, XMODEMQ_JOURNAL)");
}

HeldFolder OpenFollowing(const std::string& path) {
  try {
    return HeldFolder::Open(path);
  } catch (const Refusal& e) {
    throw JournalError(std::string(e.what()) + " (dossier du journal)");
  }
}

// $XDG_STATE_HOME/xmodemq/journal.sqlite, else
// $HOME/.local/state/xmodemq/journal.sqlite. Throws Refusal.
JournalPlace DefaultPlace() {
  if (const auto state = Variable("XDG_STATE_HOME"); state && (*state)[0] == '/')
    return JournalPlace{*state + "/xmodemq/journal.sqlite", true, *state};
  if (const auto home = Variable("HOME"))
    return JournalPlace{*home + "/.local/state/xmodemq/journal.sqlite", true, *home};
  throw Refusal(
      "aucun journal : ni --journal, ni XMODEMQ_JOURNAL, ni XDG_STATE_HOME, ni HOME ne disent où "
      "le tenir. Le journal garde la trace de chaque transfert et empêche d'envoyer deux fois "
      "le même fichier : donnez --journal FICHIER, ou --no-journal pour s'en passer");
}

}  // namespace

bool NamesDatabase(const std::string& chosen) {
  return chosen.rfind("postgresql:", 0) == 0 || chosen.rfind("postgres:", 0) == 0;
}

std::optional<JournalPlace> ChooseJournal(const std::optional<std::string>& chosen,
                                          bool no_journal) {
  if (no_journal) return std::nullopt;
  const std::optional<std::string> named = chosen ? chosen : Variable("XMODEMQ_JOURNAL");
  // A mistyped address is no file name: it is refused without being shown,
  // since it may hold a password.
  if (named && !NamesDatabase(*named) && named->find("://") != std::string::npos)
    throw Refusal(
        "le journal nommé (--journal, XMODEMQ_JOURNAL ou la clé journal du profil) est une "
        "adresse, mais pas celle d'une base PostgreSQL : elle commence par postgresql:// (ou "
        "postgres://)");
  if (named && !NamesDatabase(*named)) return JournalPlace{*named};
  if (!named) return DefaultPlace();
  // A database keeps the journal; the outcomes of a call during which it
  // went away are kept on this machine, beside the default journal.
  try {
    JournalPlace place = DefaultPlace();
    place.address = *named;
    return place;
  } catch (const Refusal&) {
    throw Refusal(
        "le journal est une base PostgreSQL, mais ni XDG_STATE_HOME ni HOME ne disent où garder "
        "sur cette machine l'issue d'un transfert quand la base devient injoignable : donnez "
        "XDG_STATE_HOME (un dossier à vous)");
  }
}

std::optional<HeldFolder> OpenJournalFolder(const JournalPlace& place, bool make) {
  const std::string folder = FolderOf(place.path);
  struct stat st {};
  std::optional<HeldFolder> held;
  if (place.default_place) {
    // From the base (or the first folder above it that exists) down to the
    // journal's folder, each one opened through the one above it, never
    // through a link, and checked.
    std::string top = place.base;
    while (::stat(top.c_str(), &st) != 0 && top != FolderOf(top)) top = FolderOf(top);
    held = OpenFollowing(top);
    for (std::size_t at = top.size() - (top.back() == '/'); at < folder.size();) {
      CheckAbove(*held, held->Path());
      const std::size_t end = std::min(folder.find('/', at + 1), folder.size());
      const std::string name = folder.substr(at + 1, end - at - 1);
      at = end;
      if (name.empty()) continue;
      const bool made = make && ::mkdirat(held->Fd(), name.c_str(), 0700) == 0;
      auto child = held->OpenChild(name);
      if (!child && errno == ENOENT && !make) return std::nullopt;
      if (!child) throw JournalError(FileError("ouvrir le dossier", held->PathOf(name), errno));
      if (made) ::fchmod(child->Fd(), 0700);
      held = std::move(child);
    }
  } else {
    if (::stat(folder.c_str(), &st) != 0 && errno == ENOENT) {
      if (!make) return std::nullopt;
      throw JournalError("le dossier " + folder + " du journal n'existe pas");
    }
    held = OpenFollowing(folder);
    // Above it: the folder it is in, whatever name it was reached by.
    if (const auto parent = held->OpenChild("..")) CheckAbove(*parent, folder + "/..");
  }
  if (::fstat(held->Fd(), &st) != 0) throw JournalError(FileError("lire", folder, errno));
  // Only read, the folder that the service keeps its journal in
  // (/var/lib/xmodemq, 0750) is a member of its group's to read.
  if (const auto why = NotPrivate(st, Owner::kCallerOrRoot);
      why && (make || NotSharedWithCaller(st, st.st_uid)))
    throw JournalError("le dossier " + folder + " du journal " + *why +
                       " : un autre que vous pourrait y remplacer le journal. Choisissez un "
                       "dossier à vous (--journal, XMODEMQ_JOURNAL)");
  return held;
}

}  // namespace xmodemq
