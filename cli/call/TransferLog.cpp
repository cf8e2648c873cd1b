#include "call/TransferLog.h"

#include <unistd.h>

#include <filesystem>
#include <random>

#include "journal/JournalPlace.h"
#include "record/ServerNames.h"
#include "system/FileErrors.h"
#include "system/Paths.h"
#include "system/ProcessIdentity.h"
#include "system/ServerNumber.h"
#include "terminal/Timestamps.h"

namespace xmodemq {
std::string NewCallId() {
  std::random_device random;
  std::string bytes;
  for (int i = 0; i < 4; ++i) {
    const auto word = random();
    for (int b = 0; b < 4; ++b) bytes.push_back(static_cast<char>((word >> (8 * b)) & 0xFF));
  }
  return Hex(bytes);
}

std::string ResultName(xmodemquarvel::ReturnValues result) {
  switch (result) {
    case xmodemquarvel::rvTrue:
      return "rvTrue";
    case xmodemquarvel::rvFalse:
      return "rvFalse";
    case xmodemquarvel::rvTimer:
      return "rvTimer";
    case xmodemquarvel::rvCTS:
      return "rvCTS";
    case xmodemquarvel::rvRefuse:
      return "rvRefuse";
  }
  return std::to_string(static_cast<int>(result));
}

namespace {

// A journal that a later try may find free, or its database reachable.
void Unavailable(const JournalError& e) {
  if (e.Unreachable())
    throw JournalUnreachable(
        std::string(e.what()) +
        ". Rien n'est envoyé ni reçu : réessayez quand la base sera joignable");
  if (e.Busy())
    throw JournalBusy(std::string(e.what()) +
                      ". Rien n'est envoyé ni reçu : réessayez quand il sera libre");
}

}  // namespace

TransferLog::TransferLog(const Options& options, std::FILE* json_out)
    : options_(options), json_out_(json_out), call_id_(NewCallId()) {
  const std::optional<JournalPlace> place = ChooseJournal(options.journal_path, options.no_journal);
  if (!place) return;
  try {
    journal_ = Journal::Open(*place, Journal::Access::kWrite);
    journal_->MarkDead();
  } catch (const JournalError& e) {
    Unavailable(e);
    throw Refusal(std::string(e.what()) +
                  ". Rien n'est envoyé ni reçu sans trace : réglez le journal, ou donnez "
                  "--no-journal pour s'en passer");
  }
}

TransferLog::~TransferLog() {
  for (const auto& [plan, reserved] : reserved_) {
    try {
      journal_->Release(reserved.first);
    } catch (const JournalError&) {
      // Its process gone, the next writer removes it.
    }
  }
}

JournalRow TransferLog::RowFor(const TransferPlan& plan) const {
  JournalRow row;
  row.call_id = call_id_;
  row.started = UtcNow();
  row.direction = plan.Direction();
  row.file = Absolute(plan.File());
  row.server_name = ServerName(plan.File());
  row.server_key = ServerNameKey(plan.File());
  row.server = kServerNumber;
  row.user = options_.user;
  if (const RecordDigests* digests = plan.Digests()) {
    row.bytes = digests->Bytes();
    row.sha256 = digests->Sha256Hex();
  }
  row.pid = ::getpid();
  row.process = ThisProcess();
  return row;
}

std::vector<std::pair<const TransferPlan*, JournalRow>> TransferLog::Reserve(
    const std::vector<std::unique_ptr<TransferPlan>>& plans) {
  std::vector<std::pair<const TransferPlan*, JournalRow>> skipped;
  if (!journal_) return skipped;
  std::vector<const TransferPlan*> sends;
  std::vector<JournalRow> rows;
  std::vector<std::string> prefixes;
  for (const auto& plan : plans) {
    if (!plan->Digests()) continue;
    sends.push_back(plan.get());
    rows.push_back(RowFor(*plan));
    prefixes.push_back(plan->Digests()->Prefixes());
  }
  if (rows.empty()) return skipped;
  const Repeat repeat = options_.again        ? Repeat::kAgain
                        : options_.ask_server ? Repeat::kAskServer
                                              : Repeat::kNo;
  std::vector<SendVerdict> verdicts;
  try {
    verdicts = journal_->ReserveSends(rows, prefixes, repeat);
    // --skip-sent: the files that went are left out, the others reserved.
    if (options_.skip_sent) {
      std::vector<JournalRow> others;
      std::vector<std::string> others_prefixes;
      std::vector<const TransferPlan*> others_sends;
      for (std::size_t i = 0; i < rows.size(); ++i) {
        if (verdicts[i].kind == SendVerdict::Kind::kSent) {
          skipped.emplace_back(sends[i], *verdicts[i].earlier);
        } else {
          others.push_back(rows[i]);
          others_prefixes.push_back(prefixes[i]);
          others_sends.push_back(sends[i]);
        }
      }
      if (!skipped.empty() && !others.empty())
        verdicts = journal_->ReserveSends(others, others_prefixes, repeat);
      else if (!skipped.empty())
        verdicts.clear();
      rows = std::move(others);
      sends = std::move(others_sends);
    }
  } catch (const JournalError& e) {
    Unavailable(e);
    throw Refusal(e.what());
  }
  std::string refused;
  bool sent = false;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (verdicts[i].Held()) {
      refused += (refused.empty() ? "" : " ; ") + HeldText(sends[i]->File(), rows[i], verdicts[i]);
      sent = sent || verdicts[i].kind == SendVerdict::Kind::kSent;
    } else {
      reserved_.emplace(
          sends[i],
          std::pair(rows[i], verdicts[i].kind == SendVerdict::Kind::kAskServer ? verdicts[i].earlier
                                                                               : std::nullopt));
    }
  }
  if (refused.empty()) return skipped;
  throw Refusal(refused + ". Rien n'est envoyé : un fichier ne part pas deux fois (journal " +
                journal_->Path() + ")" +
                (sent ? std::string(rows.size() > 1 ? ". Retirez de la commande les fichiers déjà "
                                                      "envoyés, ou donnez --skip-sent pour "
                                                      "n'envoyer que les autres"
                                                    : "") +
                            ". --again l'envoie quand même"
                      : ""));
}

void TransferLog::Start(const TransferPlan& plan, const std::string& line,
                        std::function<bool()> stop_waiting) {
  asking_ = false;
  earlier_whole_.reset();
  if (const auto at = reserved_.find(&plan); at != reserved_.end()) {
    row_ = std::move(at->second.first);
    if (const auto& earlier = at->second.second) {
      asking_ = true;
      // Its count was written once the server held every block of it.
      if (earlier->blocks) earlier_whole_ = earlier->started;
    }
    reserved_.erase(at);
  } else {
    row_ = RowFor(plan);
  }
  row_->line = line;
  row_->started = UtcNow();
  // Until the server holds its last block, a send cannot be whole there.
  if (plan.Digests()) row_->blocks = -1;
  if (!journal_) return;
  try {
    journal_->Begin(*row_, plan.Digests() ? plan.Digests()->Prefixes() : std::string(),
                    std::move(stop_waiting));
  } catch (const JournalError& e) {
    database_gone_ = database_gone_ || e.Unreachable();
    // A reserved send that does not go keeps nobody else from sending it.
    if (row_->id) {
      try {
        journal_->Release(*row_);
      } catch (const JournalError&) {
        // Its process gone, the next writer removes it.
      }
    }
    throw;
  }
}

void TransferLog::Sent(const TransferPlan& plan, std::int64_t held) {
  const auto total = plan.TotalBlocks();
  if (!row_ || !total || held < *total || row_->blocks != -1) return;
  try {
    if (journal_ && row_->id) journal_->AllBlocksHeld(*row_->id, held);
  } catch (const JournalError& e) {
    database_gone_ = database_gone_ || e.Unreachable();
    throw;
  }
  row_->blocks = held;
}

void TransferLog::Accepted(std::int64_t position) {
  if (row_) row_->resumed_from = position;
}

ResumeCheck TransferLog::CheckResume(const TransferPlan& plan, std::int64_t held) const {
  std::optional<SentVersion> last;
  if (journal_ && row_) {
    try {
      last = journal_->LastVersionSent(*row_);
    } catch (const JournalError& e) {
      return {ResumeVerdict::kUnknown, e.what()};
    }
  }
  return xmodemq::CheckResume(row_ ? row_->server_name : plan.File(), plan.File(), *plan.Digests(),
                              held, last, journal_ != nullptr);
}

std::optional<std::string> TransferLog::Finish(const std::string& result,
                                               const std::string& description, int exit_status,
                                               std::int64_t blocks,
                                               std::optional<std::int64_t> bytes,
                                               std::optional<std::string> sha256) {
  if (!row_) return std::nullopt;
  JournalRow row = std::move(*row_);
  row_.reset();
  row.ended = UtcNow();
  row.result = result;
  row.description = description;
  row.exit_status = exit_status;
  // A send whose server never held its last block reads "interrompu".
  const bool whole_unknown = row.direction == "send" && row.blocks != -1;
  row.blocks = blocks;
  if (bytes) row.bytes = bytes;
  if (sha256) row.sha256 = sha256;
  std::optional<std::string> failure;
  last_row_ = row.id;
  if (journal_ && row.id) {
    try {
      journal_->End(row);
    } catch (const JournalError& e) {
      // The database went away: the outcome waits on this machine.
      database_gone_ = database_gone_ || e.Unreachable();
      if (database_gone_) {
        failure = e.what();
      } else {
        failure = std::string(e.what()) + " : le journal est incomplet, la fin du transfert de " +
                  row.file + " n'y est pas notée. Sa ligne se lira " +
                  (row.direction == "send" && !whole_unknown
                       ? "« interrompu » : le serveur n'en a pas reçu la fin, le prochain envoi le "
                         "reprend"
                       : "« issue inconnue »") +
                  (whole_unknown && row.result == "rvTrue"
                       ? " et le prochain envoi de ce fichier sera refusé : quand le journal "
                         "s'écrit de nouveau, --ask-server vérifie auprès du serveur ce qu'il en "
                         "détient"
                       : "");
      }
    }
  }
  if (options_.json) {
    std::fprintf(json_out_, "%s\n", RowJson(row).c_str());
    std::fflush(json_out_);
  }
  return failure;
}

}  // namespace xmodemq
