#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

#include "call/Call.h"
#include "call/Password.h"
#include "commandline/ExitCodes.h"
#include "exchange/Exchange.h"
#include "exchange/ExchangeLock.h"
#include "exchange/ExchangePlan.h"
#include "exchange/ExchangeReport.h"
#include "exchange/ExitStatus.h"
#include "exchange/Profile.h"
#include "exchange/Returns.h"
#include "exchange/Spool.h"
#include "exchange/queue/QueueRun.h"
#include "files/SendSnapshot.h"
#include "journal/Journal.h"
#include "record/ServerNames.h"
#include "schedule/EventLog.h"
#include "schedule/Unattended.h"
#include "system/FileErrors.h"
#include "system/Paths.h"
#include "terminal/Text.h"
#include "terminal/Timestamps.h"
#include "transfers/ReceivePlan.h"
#include "transfers/SendPlan.h"

namespace xmodemq {
namespace {

// One run: the spool locked, its outbox planned, one call, then every file
// filed where it belongs.
class ExchangeRun {
 public:
  ExchangeRun(const Options& options, Profile profile, SessionHost host, const EventLog& log)
      : profile_(std::move(profile)),
        call_options_(CallOptions(options, profile_)),
        host_(std::move(host)),
        log_(log) {}

  int Run(ExchangeReport& report);

 private:
  int Settle(const Call& call, int call_status);
  void Say(const std::string& text, const std::string& file = {},
           const std::string& result = {}) const {
    log_.Write({text, result == "held" ? 4 : 6, file, result});
  }
  // One event per transfer that went on the line.
  void LogTransfers(const Call& call) const;

  Profile profile_;
  Options call_options_;
  SessionHost host_;
  const EventLog& log_;
  std::optional<Spool> spool_;
  std::unique_ptr<Journal> journal_;
  ExchangeReport* report_ = nullptr;
  bool person_ = false;
};

int ExchangeRun::Run(ExchangeReport& report) {
  report_ = &report;
  if (profile_.queue) return RunQueue(call_options_, profile_, std::move(host_), log_, report);
  spool_.emplace(Spool::Open(profile_.spool));
  const ExchangeLock lock(spool_->Folder(), profile_.path, spool_->StateMode());
  SendSnapshot::RemoveStale();
  if (const auto place = ChooseJournal(call_options_.journal_path, false))
    journal_ = Journal::Open(*place, Journal::Access::kWrite);
  const Returns returns(*spool_, journal_.get(), profile_.user);
  // What a run killed after a receive left in .entrant/ is filed first.
  for (const SpoolEntry& entry : spool_->Files(Spool::kIncoming)) returns.File(entry.name, report);

  const auto now = std::chrono::system_clock::now();
  const OutboxPlan outbox = PlanOutbox(*spool_, profile_, now);
  report.waiting = static_cast<std::int64_t>(outbox.waiting);
  for (const auto& [name, reason] : outbox.hold) {
    spool_->Hold(name, reason);
    Say(name + " retenu dans held/ : " + reason, name, "held");
    ++report.held;
    person_ = true;
  }
  std::vector<std::unique_ptr<TransferPlan>> plans;
  for (const std::string& name : outbox.send)
    plans.push_back(
        std::make_unique<SendPlan>(spool_->OutboxPath(name), profile_.pad, PadFrom::kProfile));
  const ResumePolicy policy{profile_.user, std::chrono::hours(24 * 30), false};
  for (const std::string& name : DueFetches(profile_, journal_.get(), WallNow())) {
    auto plan = std::make_unique<ReceivePlan>(spool_->IncomingPath(name), false, policy);
    // Status 6: nothing waiting under that name, the call goes on.
    plan->GoOnAfterRefusals({xmodemquarvel::svFileNotExists});
    plans.push_back(std::move(plan));
  }
  if (plans.empty()) {
    report.message = report.held > 0 ? "fichiers retenus dans held/ : une personne doit les voir"
                                     : "rien à envoyer ni à demander";
    return person_ ? kExchangePerson : kExchangeNothing;
  }
  Call call(call_options_, std::move(plans), std::move(host_));
  int status = kExitFailure;
  try {
    status = call.Run();
  } catch (const JournalBusy& e) {
    report.message = std::string(e.what()) + " ; l'échange se refera plus tard";
    Settle(call, kExitUsage);
    return kExchangeLater;
  } catch (const Refusal& e) {
    report.message = e.what();
    Settle(call, kExitUsage);
    return kExchangePerson;
  } catch (const FileFailure& e) {
    report.message = e.what();
    Settle(call, kExitFailure);
    return kExchangePerson;
  }
  const int settled = Settle(call, status);
  LogTransfers(call);
  return settled;
}

void ExchangeRun::LogTransfers(const Call& call) const {
  for (const auto& plan : call.Plans()) {
    const auto& ended = plan->Ended();
    if (!ended) continue;
    const bool send = std::string(plan->Direction()) == "send";
    const bool good = ended->result == xmodemquarvel::rvTrue;
    const std::string result = good ? (send ? "sent" : "received")
                               : ended->result == xmodemquarvel::rvRefuse ? "refuse"
                                                                          : "failed";
    const std::string what = good ? (send ? "envoyé" : "reçu") : ended->description;
    log_.Write({NameOf(plan->File()) + " : " + what, good ? 6 : 4, NameOf(plan->File()), result});
  }
}

// Files what the call did, and says what the run amounts to.
int ExchangeRun::Settle(const Call& call, int call_status) {
  ExchangeReport& report = *report_;
  const std::string day = LocalDayOf(WallNow());
  if (call_status != kExitUsage || !call.Plans().empty()) report.line = call.LineUsed();
  // The row is complete before the file moves; it then follows the file.
  const auto to_sent = [&](const std::string& file, std::optional<std::int64_t> row) {
    const std::string moved = spool_->MoveToSent(NameOf(file), day);
    if (journal_ && row) journal_->Refile(*row, moved);
  };
  for (const auto& [plan, earlier] : call.Skipped()) {
    to_sent(plan->File(), earlier.id);
    ++report.already_sent;
  }
  bool failed = false;
  bool refused = false;
  for (const auto& plan : call.Plans()) {
    const auto& ended = plan->Ended();
    if (!ended) continue;
    const bool send = std::string(plan->Direction()) == "send";
    const auto status = ended->result == xmodemquarvel::rvRefuse ? ended->status : std::nullopt;
    if (ended->result == xmodemquarvel::rvTrue) {
      if (send) {
        to_sent(plan->File(), ended->row);
        ++report.sent;
      } else {
        Returns(*spool_, journal_.get(), profile_.user).File(NameOf(plan->File()), report);
      }
    } else if (!send && status == xmodemquarvel::svFileNotExists) {
      ++report.not_waiting;
    } else if (send && status == xmodemquarvel::svAlreadyTransmited) {
      // The server says it has it. Had the journal a send of this content
      // under this name to this account, the send would have been left out
      // as sent: so nothing here says which version the server holds.
      spool_->Hold(NameOf(plan->File()),
                   "le serveur répond qu'il a déjà reçu " + ServerName(plan->File()) +
                       " (status 7), et le journal ne connaît aucun envoi de ce contenu sous ce "
                       "nom pour ce compte : vérifiez auprès du destinataire, puis remettez-le "
                       "dans outbox/ avec un autre nom, ou envoyez-le avec send --again");
      ++report.held;
      person_ = true;
    } else if (send && (ended->stop == TransferPlan::Stop::kUnconfirmed ||
                        ended->stop == TransferPlan::Stop::kOtherVersion)) {
      // Stopped before any data (Call::OnAccepted): the server's blocks do
      // not confirm what the journal knows, and only a person can say
      // whether the file reached the recipient.
      spool_->Hold(NameOf(plan->File()),
                   ended->description +
                       " : vérifiez auprès du destinataire, puis remettez-le dans outbox/ "
                       "après « xmodemq send --again » ou envoyez-le ainsi");
      ++report.held;
      person_ = true;
    } else if (ended->result == xmodemquarvel::rvRefuse) {
      refused = true;
      report.refusal = status.value_or(0);
      report.message = plan->File() + " : " + ended->description;
    } else {
      failed = true;
      report.message = plan->File() + " : " + ended->description;
    }
  }
  if (call_status == kExitUsage) return kExchangeUsage;
  if (refused || person_) {
    if (report.message.empty()) report.message = "fichiers retenus dans held/";
    return kExchangePerson;
  }
  if (failed || call_status != kExitOk) {
    if (report.message.empty()) report.message = "appel impossible ou interrompu";
    return kExchangeLater;
  }
  if (report.sent + report.received + report.already_sent + report.already_received == 0) {
    report.message = "rien de nouveau";
    return kExchangeNothing;
  }
  report.message = "fait";
  return kExchangeDone;
}

// What the run's call amounts to for the schedule.
CallResult ResultOfCall(const ExchangeReport& report, int status) {
  // No line: nothing was dialled.
  if (report.line.empty() || status == kExchangeUsage) return CallResult::kNone;
  if (report.refusal == xmodemquarvel::svFalseUser ||
      report.refusal == xmodemquarvel::svFalsePassWord)
    return CallResult::kAccountRefused;
  if (status == kExchangeLater) return CallResult::kFailed;
  return CallResult::kGood;
}

// The spool's facts that alerts are judged on; none when it cannot be read.
std::pair<std::size_t, std::optional<std::time_t>> SpoolFacts(const std::string& root,
                                                              const Profile& profile) {
  try {
    const Spool spool = Spool::Open(root, true);
    const OutboxListing outbox = spool.Outbox(profile.settle, std::chrono::system_clock::now());
    std::optional<std::time_t> oldest;
    for (const SpoolEntry& entry : outbox.complete)
      if (!oldest || entry.changed.tv_sec < *oldest) oldest = entry.changed.tv_sec;
    return {spool.Held().size(), oldest};
  } catch (const Refusal&) {
    return {0, std::nullopt};
  }
}

}  // namespace

int RunExchange(const Options& options, SessionHost host) {
  if (!options.operands.empty()) return RunExchangeStatus(options);
  if (options.check) return CheckExchange(options);
  ExchangeReport report;
  report.started = UtcNow();
  const std::time_t started = WallNow();
  report.profile = Absolute(*options.profile);
  EventLog log(report.profile, options.quiet || options.json);
  // Under systemd's journal, what the call tells goes there too, a line an
  // entry, not to standard error.
  if (std::FILE* lines = log.Lines()) {
    host.out = lines;
    host.terminal = false;
  }
  int status = kExchangeUsage;
  std::optional<Spool> spool;
  bool busy = false;
  // Set when the schedule kept the run from calling: "not_now" or "stopped".
  std::string not_now;
  try {
    Profile profile = LoadProfile(*options.profile);
    report.user = profile.user;
    if (!profile.timezone.empty()) {
      ::setenv("TZ", profile.timezone.c_str(), 1);
      ::tzset();
    }
    const std::string root = profile.spool;
    const Profile kept = profile;
    std::unique_ptr<Unattended> unattended;
    ExchangeRun run(options, std::move(profile), std::move(host), log);
    try {
      const auto place =
          ChooseJournal(kept.journal.empty() ? std::nullopt : std::optional(kept.journal), false);
      if (place)
        unattended =
            std::make_unique<Unattended>(kept.path, kept.user, kept.Schedule(), *place, log);
      const Verdict verdict = unattended ? unattended->Admit(started, options.now) : Verdict{};
      if (options.resume_calls) {
        // A person has put right what the server refused.
        if (!unattended) throw JournalError("aucun journal ne garde les appels de ce profil");
        report.message =
            unattended->Resume(started)
                ? "appels repris pour " + kept.path
                : "les appels de " + kept.path +
                      " n'étaient pas arrêtés ; l'attente après échec est remise à zéro";
        not_now = "resumed";
        status = kExchangeDone;
      } else if (verdict.admission == Admission::kCall) {
        status = run.Run(report);
      } else {
        report.message = verdict.why;
        not_now = verdict.admission == Admission::kStopped ? "stopped" : "not_now";
        status = verdict.admission == Admission::kStopped ? kExchangePerson : kExchangeNothing;
      }
    } catch (const LockBusy& e) {
      report.message = e.what();
      status = kExchangeLater;
      busy = true;
    } catch (const JournalError& e) {
      report.message = e.what();
      status = kExchangeLater;
    } catch (const PasswordError& e) {
      report.message = e.what();
      status = kExchangeUsage;
    } catch (const std::exception& e) {
      report.message = e.what();
      status = kExchangePerson;
    }
    try {
      spool.emplace(Spool::Open(root, true));
    } catch (const Refusal&) {
    }
    // A run that could not take the lock leaves the schedule to the one that has.
    if (unattended && !busy) {
      const auto [held, oldest] = SpoolFacts(root, kept);
      try {
        unattended->After(ResultOfCall(report, status), OutcomeName(status), started, WallNow(),
                          report.message, held, oldest);
      } catch (const JournalError& e) {
        log.Write({e.what(), 3, {}, "journal"});
      }
    }
  } catch (const ProfileError& e) {
    report.message = e.what();
    status = kExchangeUsage;
  }
  report.ended = UtcNow();
  report.exit_status = status;
  // A run that could not take the lock leaves the state to the one that has.
  if (spool && !busy && not_now.empty()) SaveState(*spool, report);
  const bool failed = status != kExchangeDone && status != kExchangeNothing;
  const std::string summary =
      failed || !not_now.empty()
          ? report.message
          : std::to_string(report.sent) + " envoyé(s), " + std::to_string(report.received) +
                " reçu(s), " + std::to_string(report.held) + " retenu(s) : " + report.message;
  if (options.json) {
    std::printf("%s\n", report.Json().c_str());
    std::fflush(stdout);
  }
  if (log.ToJournal())
    log.Write({summary, failed ? 3 : 6, {}, not_now.empty() ? OutcomeName(status) : not_now});
  else if (!options.json && (failed || !options.quiet))
    PrintLine(stderr, "xmodemq: " + summary);
  return status;
}

}  // namespace xmodemq
