#include "journal/NeverTwice.h"

#include "journal/JournalSchema.h"
#include "journal/SqliteJournal.h"
#include "record/LineText.h"
#include "terminal/Timestamps.h"

namespace xmodemq {
namespace {

using Kind = SendVerdict::Kind;

// The first row that `query` (bound to the row's server, account and server
// name, and more) finds.
std::optional<JournalRow> First(Statement& query) {
  std::optional<JournalRow> found;
  if (query.Step()) found = ReadRow(query);
  query.Reset();
  return found;
}

}  // namespace

std::vector<SendVerdict> SqliteJournal::ReserveSends(std::vector<JournalRow>& rows,
                                                     const std::vector<std::string>& prefixes,
                                                     Repeat repeat) {
  std::vector<SendVerdict> verdicts;
  try {
    // The check and the reservation in one write transaction: another
    // process that sends the same file waits, then finds it reserved.
    WriteTransaction transaction(*db_);
    SettleDead();
    const std::string same =
        " FROM transfers WHERE direction = 'send' AND server = ? AND "
        "user_key = ? AND server_key = ? AND ";
    Statement running(*db_, ("SELECT " + RowColumns(version_) + same + "result IS NULL").c_str());
    Statement earlier(*db_, ("SELECT " + RowColumns(version_) + same +
                             "sha256 = ? AND result IN ('rvTrue', 'unknown') "
                             "ORDER BY result = 'rvTrue' DESC, id DESC LIMIT 1")
                                .c_str());
    bool held = false;
    for (JournalRow& row : rows) {
      row.user_key = AccountOf(row.user);
      SendVerdict verdict;
      running.Bind(1, row.server).Bind(2, row.user_key).Bind(3, row.server_key);
      earlier.Bind(1, row.server).Bind(2, row.user_key).Bind(3, row.server_key).Bind(4, row.sha256);
      if ((verdict.earlier = First(running))) {
        verdict.kind = Kind::kRunning;
      } else if ((verdict.earlier = First(earlier)) && repeat != Repeat::kAgain) {
        const bool sent = verdict.earlier->result == "rvTrue";
        verdict.kind = sent                           ? Kind::kSent
                       : repeat == Repeat::kAskServer ? Kind::kAskServer
                                                      : Kind::kUnknown;
      }
      row.again = repeat == Repeat::kAgain && verdict.earlier.has_value();
      held = held || verdict.Held();
      verdicts.push_back(std::move(verdict));
    }
    for (std::size_t i = 0; i < rows.size() && !held; ++i) {
      rows[i].line.clear();
      Insert(rows[i], prefixes[i]);
    }
    transaction.Commit();
  } catch (const SqliteError& e) {
    for (JournalRow& row : rows) row.id.reset();
    Fail("être écrit", e);
  }
  return verdicts;
}

void SqliteJournal::Release(const JournalRow& row) {
  try {
    Statement drop(*db_, "DELETE FROM transfers WHERE id = ? AND line = '' AND result IS NULL");
    drop.Bind(1, row.id).Run();
  } catch (const SqliteError& e) {
    Fail("être écrit", e);
  }
}

std::string HeldText(const std::string& file, const JournalRow& row, const SendVerdict& verdict) {
  const JournalRow& earlier = *verdict.earlier;
  const std::string same =
      "(« " + earlier.server_name + " », même contenu, utilisateur " + earlier.user +
      (earlier.file != row.file ? ", depuis " + earlier.file : std::string()) + ")";
  switch (verdict.kind) {
    case Kind::kRunning:
      return file +
             " est en cours d'envoi au même serveur pour le même utilisateur, par le "
             "processus " +
             std::to_string(earlier.pid) + " (depuis le " + LocalTime(earlier.started) + ", " +
             same + ") : attendez qu'il finisse";
    case Kind::kSent:
      return file + " a déjà été envoyé le " + LocalTime(earlier.started) + " " + same;
    case Kind::kUnknown:
      return file + " a peut-être déjà été envoyé le " + LocalTime(earlier.started) + " " + same +
             " : le journal n'a pas la fin de cet envoi (issue inconnue : processus arrêté net, "
             "disque plein). --ask-server demande au serveur ce qu'il en détient et ne complète "
             "que ce que le journal confirme";
    default:
      return file;
  }
}

}  // namespace xmodemq
