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

TransferLog::TransferLog(const Options& options, std::FILE* json_out)
    : options_(options), json_out_(json_out), call_id_(NewCallId()) {
  const std::optional<JournalPlace> place = ChooseJournal(options.journal_path, options.no_journal);
  if (!place) return;
  try {
    journal_ = Journal::Open(place->path, true, place->default_place);
    journal_->MarkInterrupted();
  } catch (const JournalError& e) {
    throw Refusal(std::string(e.what()) +
                  ". Rien n'est envoyé ni reçu sans trace : réglez le journal, ou donnez "
                  "--no-journal pour s'en passer");
  }
}

TransferLog::~TransferLog() = default;

JournalRow TransferLog::RowFor(const TransferPlan& plan) const {
  JournalRow row;
  row.call_id = call_id_;
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

void TransferLog::RefuseSentBefore(const std::vector<std::unique_ptr<TransferPlan>>& plans) const {
  if (!journal_ || options_.again) return;
  std::string refused;
  for (const auto& plan : plans) {
    if (!plan->Digests()) continue;
    const JournalRow row = RowFor(*plan);
    std::optional<JournalRow> sent;
    try {
      sent = journal_->FindSent(row);
    } catch (const JournalError& e) {
      throw Refusal(e.what());
    }
    if (!sent) continue;
    if (!refused.empty()) refused += "\nxmodemq: ";
    refused += plan->File() + " a déjà été envoyé le " + LocalTime(sent->started) + " (« " +
               sent->server_name + " », même contenu, utilisateur " + sent->user +
               (sent->file != row.file ? ", depuis " + sent->file : std::string()) + ")";
  }
  if (refused.empty()) return;
  throw Refusal(refused +
                "\nxmodemq: rien n'est envoyé : un fichier ne part pas deux fois (journal " +
                journal_->Path() + "). --again l'envoie quand même");
}

void TransferLog::Start(const TransferPlan& plan, const std::string& line,
                        std::function<bool()> stop_waiting) {
  row_ = RowFor(plan);
  row_->line = line;
  row_->started = UtcNow();
  if (journal_)
    journal_->Begin(*row_, plan.Digests() ? plan.Digests()->Prefixes() : std::string(),
                    std::move(stop_waiting));
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
  row.blocks = blocks;
  if (bytes) row.bytes = bytes;
  if (sha256) row.sha256 = sha256;
  std::optional<std::string> failure;
  if (journal_ && row.id) {
    try {
      journal_->End(row);
    } catch (const JournalError& e) {
      failure = std::string(e.what()) + " : la fin de ce transfert n'y est pas notée";
    }
  }
  if (options_.json) {
    std::fprintf(json_out_, "%s\n", RowJson(row).c_str());
    std::fflush(json_out_);
  }
  return failure;
}

}  // namespace xmodemq
