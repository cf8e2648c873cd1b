#include "journal/JournalSchema.h"
#include "journal/SqliteJournal.h"
#include "record/LineText.h"

namespace xmodemq {

void SqliteJournal::Refile(std::int64_t id, const std::string& path) {
  try {
    Statement refile(*db_, "UPDATE transfers SET file = ? WHERE id = ?");
    refile.Bind(1, path).Bind(2, id).Run();
  } catch (const SqliteError& e) {
    Fail("être écrit", e);
  }
}

bool SqliteJournal::ReceivedInto(const std::string& path, const std::string& sha256) const {
  if (version_ == 0) return false;
  try {
    Statement same(*db_,
                   "SELECT 1 FROM transfers WHERE direction = 'receive' AND file = ? AND "
                   "sha256 = ? AND result = 'rvTrue' LIMIT 1");
    same.Bind(1, path).Bind(2, sha256);
    const bool found = same.Step();
    same.Reset();
    return found;
  } catch (const SqliteError& e) {
    Fail("être lu", e);
  }
}

void SqliteJournal::RefileReceive(const std::string& from, const std::string& to) {
  try {
    Statement refile(*db_,
                     "UPDATE transfers SET file = ? WHERE file = ? AND direction = 'receive' "
                     "AND result = 'rvTrue'");
    refile.Bind(1, to).Bind(2, from).Run();
  } catch (const SqliteError& e) {
    Fail("être écrit", e);
  }
}

bool SqliteJournal::ReceivedBefore(const JournalRow& like) const {
  if (version_ == 0 || !like.sha256) return false;
  try {
    Statement same(*db_,
                   "SELECT 1 FROM transfers WHERE direction = 'receive' AND server = ? AND "
                   "user_key = ? AND server_key = ? AND sha256 = ? AND result = 'rvTrue' AND "
                   "file <> ? LIMIT 1");
    same.Bind(1, like.server)
        .Bind(2, AccountOf(like.user))
        .Bind(3, like.server_key)
        .Bind(4, like.sha256)
        .Bind(5, like.file);
    const bool found = same.Step();
    same.Reset();
    return found;
  } catch (const SqliteError& e) {
    Fail("être lu", e);
  }
}

std::optional<JournalRow> SqliteJournal::LastAsked(const JournalRow& like,
                                                   const std::string& since_utc) const {
  if (version_ == 0) return std::nullopt;
  try {
    Statement last(*db_, ("SELECT " + RowColumns(version_) +
                          " FROM transfers WHERE direction = 'receive' AND server = ? AND "
                          "user_key = ? AND server_key = ? AND started >= ? AND "
                          "result IN ('rvTrue', 'rvRefuse') ORDER BY id DESC LIMIT 1")
                             .c_str());
    last.Bind(1, like.server)
        .Bind(2, AccountOf(like.user))
        .Bind(3, like.server_key)
        .Bind(4, since_utc);
    std::optional<JournalRow> row;
    if (last.Step()) row = ReadRow(last);
    last.Reset();
    return row;
  } catch (const SqliteError& e) {
    Fail("être lu", e);
  }
}

}  // namespace xmodemq
