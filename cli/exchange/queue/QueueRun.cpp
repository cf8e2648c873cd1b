#include "exchange/queue/QueueRun.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include "call/Call.h"
#include "call/Password.h"
#include "call/TransferLog.h"
#include "commandline/ExitCodes.h"
#include "exchange/ExchangePlan.h"
#include "exchange/ExitStatus.h"
#include "exchange/Spool.h"
#include "exchange/queue/QueueOutbox.h"
#include "exchange/queue/QueueReturns.h"
#include "journal/Journal.h"
#include "journal/JournalPlace.h"
#include "queue/PgQueue.h"
#include "record/ServerNames.h"
#include "system/FileErrors.h"
#include "system/Paths.h"
#include "system/UniqueFd.h"
#include "terminal/Timestamps.h"
#include "transfers/ReceivePlan.h"
#include "transfers/SendPlan.h"

namespace xmodemq {
namespace {

using Clock = std::chrono::steady_clock;

// Files claimed for one call: enough that a call is worth its dial, few
// enough that the others' lines share the queue.
constexpr int kBatch = 8;

// A private folder (0700) for the copies of the claimed files, each under
// its own name (the server files it under its base name), removed with
// what it holds.
class CopyFolder {
 public:
  CopyFolder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp == '/' ? tmp : "/tmp") + "/xmodemq-queue-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
      throw FileFailure(FileError("créer un dossier privé sous", FolderOf(pattern), errno));
    path_ = pattern;
  }
  ~CopyFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  CopyFolder(const CopyFolder&) = delete;
  CopyFolder& operator=(const CopyFolder&) = delete;

  // The file's bytes from the queue, checked against its digest.
  std::string Copy(PgQueue& queue, const QueuedFile& file) const {
    const std::string path = path_ + "/" + file.name;
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) throw FileFailure(FileError("créer", path, errno));
    queue.Fetch(file, fd.Get());
    return path;
  }

  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// The leases of one run, renewed from the call's waits (Session's
// keep_going): a few times per lease, so that one missed renewal is no
// loss. A renewal that another holder's generation refuses, or none that
// succeeded for half the lease, stops the call: it has hung up before its
// lease can end and another machine take its files.
class Leases {
 public:
  Leases(PgQueue& queue, LineLease line, std::vector<QueueClaim>& claims)
      : queue_(queue), line_(std::move(line)), claims_(claims), renewed_(Clock::now()) {}

  bool KeepGoing() {
    if (lost_) return false;
    const auto now = Clock::now();
    const auto lease = queue_.Lease();
    if (now - tried_ >= lease / 6) {
      tried_ = now;
      try {
        bool ours = queue_.RenewLine(line_);
        for (QueueClaim& claim : claims_) ours = queue_.Renew(claim) && ours;
        if (!ours) {
          why_ = "un bail a été repris par un autre poste";
          lost_ = true;
          return false;
        }
        renewed_ = now;
      } catch (const JournalError& e) {
        last_error_ = e.what();
      }
    }
    if (now - renewed_ >= lease / 2) {
      why_ = "aucun bail renouvelé depuis la moitié du bail (" + last_error_ + ")";
      lost_ = true;
    }
    return !lost_;
  }
  bool Lost() const { return lost_; }
  const std::string& Why() const { return why_; }
  const LineLease& Line() const { return line_; }

 private:
  PgQueue& queue_;
  LineLease line_;
  std::vector<QueueClaim>& claims_;
  Clock::time_point renewed_;
  Clock::time_point tried_ = Clock::now();
  bool lost_ = false;
  std::string why_;
  std::string last_error_;
};

class QueueRun {
 public:
  QueueRun(const Options& options, const Profile& profile, const EventLog& log,
           ExchangeReport& report)
      : options_(CallOptions(options, profile)), profile_(profile), log_(log), report_(report) {}

  int Run(SessionHost host);

 private:
  // Leases a line and serves the queue on it.
  int ServeQueue(SessionHost host);
  // The run once its line is leased.
  int Serve(SessionHost host, std::pair<std::string, LineLease>& line);
  // Releases the claims not settled and the line, if not yet done.
  void GiveBack(const LineLease& line);
  // The first line of the profile that no one else holds.
  std::optional<std::pair<std::string, LineLease>> LeaseLine();
  // Records each claim's end under its generation; the others go back to
  // the queue. Returns the run's status.
  int Settle(const Call* call, int call_status);
  void Record(const QueueClaim& claim, QueueResult result, const std::string& description);
  // Keeps the returns that the call received in the queue, then delivers
  // the account's to the spool's inbox/ when the profile has one.
  void KeepReturns(const Call* call);
  void Say(const std::string& text, int priority, const std::string& file = {},
           const std::string& result = {}) const {
    log_.Write({text, priority, file, result});
  }

  Options options_;
  const Profile& profile_;
  const EventLog& log_;
  ExchangeReport& report_;
  std::unique_ptr<PgQueue> queue_;
  std::vector<QueueClaim> claims_;
  // The copy's path of each claim.
  std::map<std::string, std::size_t> claim_of_;
  std::vector<bool> settled_;
  std::optional<CopyFolder> folder_;
  std::unique_ptr<Leases> leases_;
  bool line_released_ = false;
  // A claimed file was held before the call (its copy did not check).
  bool held_before_call_ = false;
};

std::optional<std::pair<std::string, LineLease>> QueueRun::LeaseLine() {
  const std::string machine = PgQueue::ThisMachine();
  for (const std::string& line : profile_.lines)
    if (auto lease = queue_->ClaimLine(PgQueue::LineKey(line, machine)))
      return std::pair{line, std::move(*lease)};
  return std::nullopt;
}

int QueueRun::Run(SessionHost host) {
  queue_ = PgQueue::Open(profile_.journal, PgQueue::DefaultHolder(),
                         std::chrono::duration_cast<std::chrono::milliseconds>(profile_.lease));
  // The spool's outbox goes into the queue first, whatever the lines.
  if (!profile_.spool.empty()) FeedQueue(*queue_, profile_, log_, report_);
  const bool held = report_.held > 0;
  const int status = ServeQueue(std::move(host));
  if (!held || status == kExchangeUsage) return status;
  report_.message = "fichiers retenus dans held/ : une personne doit les voir ; " + report_.message;
  return kExchangePerson;
}

int QueueRun::ServeQueue(SessionHost host) {
  auto line = LeaseLine();
  if (!line) {
    report_.message = "toutes les lignes du profil sont tenues par d'autres postes";
    return kExchangeLater;
  }
  try {
    return Serve(std::move(host), *line);
  } catch (...) {
    // Whatever stopped the run before its files were settled: they and the
    // line go back to the queue now rather than at their leases' end.
    GiveBack(line->second);
    throw;
  }
}

int QueueRun::Serve(SessionHost host, std::pair<std::string, LineLease>& line) {
  options_.devices = {line.first};
  claims_ = queue_->Claim(profile_.user, kBatch);
  // One file per server name in a call, the oldest submitted: the server
  // keeps one file under a name, and the copies share one folder. A later
  // version goes back to the queue for the next call.
  std::set<std::string> names;
  std::erase_if(claims_, [&](const QueueClaim& claim) {
    if (names.insert(ServerNameKey(claim.file.name)).second) return false;
    queue_->Release(claim);
    return true;
  });
  leases_ = std::make_unique<Leases>(*queue_, line.second, claims_);
  settled_.assign(claims_.size(), false);
  // The returns due, asked on the same call by whichever machine calls.
  std::vector<std::string> fetches;
  if (const auto place = ChooseJournal(options_.journal_path, false)) {
    const auto journal = Journal::Open(*place, Journal::Access::kWrite);
    // A file whose earlier holder's lease ended: that holder has stopped,
    // on whatever machine, and its rows say what it did (a send that the
    // server may hold goes only as far as the server confirms).
    for (const QueueClaim& claim : claims_) {
      const std::string& before = claim.previous_holder;
      const auto open = before.rfind('(');
      if (open != std::string::npos && before.back() == ')')
        journal->MarkLeaseEnded(before.substr(open + 1, before.size() - open - 2));
    }
    fetches = DueFetches(profile_, journal.get(), WallNow());
  }
  if (claims_.empty() && fetches.empty()) {
    queue_->ReleaseLine(line.second);
    line_released_ = true;
    KeepReturns(nullptr);
    report_.message = "rien à envoyer : la file est vide";
    return report_.received > 0 ? kExchangeDone : kExchangeNothing;
  }
  folder_.emplace();
  const CopyFolder& folder = *folder_;
  std::vector<std::unique_ptr<TransferPlan>> plans;
  for (std::size_t i = 0; i < claims_.size(); ++i) {
    std::string copy;
    try {
      copy = folder.Copy(*queue_, claims_[i].file);
    } catch (const JournalError& e) {
      if (e.Busy()) throw;
      // Its bytes in the database are not those submitted: held for a
      // person, and the others go.
      const std::string& name = claims_[i].file.name;
      settled_[i] = true;
      Record(claims_[i], QueueResult::kHeld, e.what());
      Say(name + " retenu : " + e.what(), 4, name, "held");
      ++report_.held;
      held_before_call_ = true;
      continue;
    }
    claim_of_[copy] = i;
    plans.push_back(std::make_unique<SendPlan>(copy, profile_.pad, PadFrom::kProfile));
  }
  const ResumePolicy policy{profile_.user, std::chrono::hours(24 * 30), false};
  for (const std::string& name : fetches) {
    auto plan = std::make_unique<ReceivePlan>(folder.Path() + "/" + name, false, policy);
    // Status 6: nothing waiting under that name, the call goes on.
    plan->GoOnAfterRefusals({xmodemquarvel::svFileNotExists});
    plans.push_back(std::move(plan));
  }
  if (plans.empty()) return Settle(nullptr, kExitOk);
  host.keep_going = [this] { return leases_->KeepGoing(); };
  Call call(options_, std::move(plans), std::move(host));
  int status = kExitFailure;
  try {
    status = call.Run();
  } catch (const Refusal& e) {
    // Another process sends one of these files now (its row in the
    // journal says so), or a file cannot go: back to the queue, for later.
    report_.message = e.what();
    Settle(nullptr, kExitUsage);
    return kExchangeLater;
  } catch (const FileFailure& e) {
    report_.message = e.what();
    Settle(nullptr, kExitFailure);
    return kExchangeLater;
  }
  report_.line = call.LineUsed();
  return Settle(&call, status);
}

void QueueRun::GiveBack(const LineLease& line) {
  try {
    for (std::size_t i = 0; i < claims_.size(); ++i)
      if (i >= settled_.size() || !settled_[i]) queue_->Release(claims_[i]);
    if (!line_released_) queue_->ReleaseLine(line);
  } catch (const JournalError&) {
    // The leases end by themselves.
  }
}

void QueueRun::Record(const QueueClaim& claim, QueueResult result, const std::string& description) {
  if (queue_->Record(claim, result, description)) return;
  Say(claim.file.name + " : résultat refusé, la génération " + std::to_string(claim.generation) +
          " n'est plus celle du fichier (un autre poste l'a repris)",
      4, claim.file.name, "late");
}

int QueueRun::Settle(const Call* call, int call_status) {
  bool failed = call_status != kExitOk;
  bool person = held_before_call_;
  const auto settle = [&](const TransferPlan& plan, const std::function<void(QueueClaim&)>& work) {
    const auto at = claim_of_.find(plan.File());
    if (at == claim_of_.end() || settled_[at->second]) return;
    settled_[at->second] = true;
    work(claims_[at->second]);
  };
  try {
    if (call) {
      for (const auto& skipped : call->Skipped())
        settle(*skipped.first, [&](QueueClaim& claim) {
          Record(claim, QueueResult::kSent, "déjà envoyé le " + skipped.second.started);
          ++report_.already_sent;
        });
      for (const auto& plan : call->Plans()) {
        const auto& ended = plan->Ended();
        if (!ended || std::string(plan->Direction()) != "send") continue;
        const auto status = ended->result == xmodemquarvel::rvRefuse ? ended->status : std::nullopt;
        const bool account =
            status == xmodemquarvel::svFalseUser || status == xmodemquarvel::svFalsePassWord;
        if (ended->result == xmodemquarvel::rvTrue) {
          settle(*plan, [&](QueueClaim& claim) {
            Record(claim, QueueResult::kSent, "");
            Say(claim.file.name + " : envoyé", 6, claim.file.name, "sent");
            ++report_.sent;
          });
        } else if ((status && !account) || ended->stop == TransferPlan::Stop::kUnconfirmed ||
                   ended->stop == TransferPlan::Stop::kOtherVersion) {
          // The server will not take it as it is: a person must see it.
          settle(*plan, [&](QueueClaim& claim) {
            Record(claim, QueueResult::kHeld, ended->description);
            Say(claim.file.name + " retenu : " + ended->description, 4, claim.file.name, "held");
            ++report_.held;
          });
          person = true;
        } else {
          person = person || account;
          report_.message = NameOf(plan->File()) + " : " + ended->description;
        }
      }
    }
    // What did not go goes back to the queue at once; after a lost lease,
    // the release is refused if another machine has the file already.
    for (std::size_t i = 0; i < claims_.size(); ++i)
      if (!settled_[i]) queue_->Release(claims_[i]);
    KeepReturns(call);
    queue_->ReleaseLine(leases_->Line());
    line_released_ = true;
  } catch (const JournalError& e) {
    // The leases end by themselves: the files go to the next claim then.
    Say(std::string("file d'attente injoignable : ") + e.what(), 4, {}, "journal");
    failed = true;
  }
  if (leases_->Lost()) {
    report_.message = "transfert arrêté et ligne raccrochée : " + leases_->Why();
    return kExchangeLater;
  }
  if (person) {
    if (report_.message.empty()) report_.message = "fichiers retenus dans la file";
    return kExchangePerson;
  }
  if (failed) {
    if (report_.message.empty()) report_.message = "appel impossible ou interrompu";
    return kExchangeLater;
  }
  report_.message = "fait";
  return kExchangeDone;
}

void QueueRun::KeepReturns(const Call* call) {
  std::int64_t kept = 0;
  static const std::vector<std::unique_ptr<TransferPlan>> kNone;
  for (const auto& plan : call ? call->Plans() : kNone) {
    const auto& ended = plan->Ended();
    if (!ended || ended->result != xmodemquarvel::rvTrue ||
        std::string(plan->Direction()) != "receive")
      continue;
    UniqueFd fd(::open(plan->File().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) throw FileFailure(FileError("lire", plan->File(), errno));
    queue_->StoreReturn(profile_.user, NameOf(plan->File()), fd.Get());
    ++kept;
  }
  if (profile_.spool.empty()) {
    report_.received += kept;
    return;
  }
  DeliverReturns(*queue_, profile_.user, Spool::Open(profile_.spool), report_);
}

}  // namespace

int RunQueue(const Options& options, const Profile& profile, SessionHost host, const EventLog& log,
             ExchangeReport& report) {
  return QueueRun(options, profile, log, report).Run(std::move(host));
}

}  // namespace xmodemq
