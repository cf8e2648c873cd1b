#include "call/Call.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <system_error>

#include "call/DeviceLinks.h"
#include "call/Password.h"
#include "commandline/ExitCodes.h"
#include "record/LineText.h"
#include "record/Refusals.h"
#include "record/ServerNames.h"
#include "system/FileErrors.h"
#include "system/Records.h"
#include "system/StopSignals.h"
#include "terminal/Progress.h"
#include "terminal/Timestamps.h"
#include "xmodemquarvel/LineText.h"
#include "xmodemquarvel/SerialPort.h"

namespace xmodemq {

using xmodemquarvel::ReturnValues;
using xmodemquarvel::rvFalse;
using xmodemquarvel::rvTrue;

namespace {

std::string SignalName(int exit_code) {
  switch (exit_code - kSignalExitBase) {
    case SIGINT:
      return "Ctrl-C";
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP, terminal fermé";
    default:
      return "signal " + std::to_string(exit_code - kSignalExitBase);
  }
}

// The line a call goes out on, as the journal names it.
std::string LineName(const Options& options, std::size_t pool_index) {
  if (!options.devices.empty()) return options.devices[pool_index];
  return "/dev/ttyS" + std::to_string(options.port.value_or(1) - 1);
}

}  // namespace

std::optional<int> RefusalStatus(const std::string& description) {
  // The component's public interface gives the server's verdict in these
  // words only (ModuleXmodem::SendFile: "Transfert refusé, status N"), and
  // the journal keeps no number of its own beside its decoded form: the
  // digit is read from the text, once, where the refusal is recorded.
  for (const std::string marker : {"Transfert refusé, status ", "(status "}) {
    const auto at = description.find(marker);
    if (at == std::string::npos || at + marker.size() >= description.size()) continue;
    const char digit = description[at + marker.size()];
    if (digit >= '0' && digit <= '9') return digit - '0';
  }
  return std::nullopt;
}

bool TransferPlan::GoesOnAfter(ReturnValues result, std::optional<int> status) const {
  return result == xmodemquarvel::rvRefuse && status &&
         std::find(go_on_.begin(), go_on_.end(), *status) != go_on_.end();
}

std::string BatchSummary(const std::vector<std::string>& done, std::size_t all) {
  std::string text = done.empty() ? "aucun fichier" : std::to_string(done.size()) + " fichier";
  if (done.size() > 1) text += "s";
  text += " sur " + std::to_string(all) + (done.size() > 1 ? " transférés" : " transféré");
  for (std::size_t i = 0; i < done.size(); ++i) text += (i == 0 ? " : " : ", ") + done[i];
  return text;
}

Call::Call(const Options& options, std::vector<std::unique_ptr<TransferPlan>> plans,
           SessionHost host)
    : options_(options), plans_(std::move(plans)), host_(std::move(host)) {
  assert(!plans_.empty() && "a call carries at least one transfer");
}

Call::~Call() = default;

int Call::Run() {
  const int status = RunPhases();
  // The journal's database went away during the call: what the call did
  // waits on this machine for the next run (kExitLater).
  return log_ && log_->DatabaseGone() ? kExitLater : status;
}

// The phases in order; each returns the exit status when the call stops there.
int Call::RunPhases() {
  Check();
  if (plans_.empty()) {
    // Every send was left out (--skip-sent): nothing to dial for.
    for (const std::string& w : warnings_)
      std::fprintf(stderr, "xmodemq: attention : %s\n", w.c_str());
    return kExitOk;
  }
  if (const auto stopped = AskPassword()) return *stopped;
  if (const auto stopped = Prepare()) return *stopped;
  current_ = plans_.front().get();
  try {
    if (const auto stopped = Dial()) return *stopped;
    // One call for every file, in order; the first failure ends the batch.
    for (const auto& plan : plans_) {
      current_ = plan.get();
      if (const auto stopped = Transfer(*plan)) return *stopped;
      if (plan->Ended()) {
        // A refusal that the plan goes on after: the line is still up.
        if (plan == plans_.back()) session_->Disconnect();
        continue;
      }
      if (const auto stopped = Commit(*plan)) return *stopped;
    }
    return incomplete_ ? kExitFailure : kExitOk;
  } catch (const xmodemquarvel::SerialPortError& e) {
    return Thrown(FrenchSystemTexts(e.what()));
  } catch (const std::system_error& e) {
    // The component's own file operations report by throwing.
    const int error = e.code().value();
    return Thrown(FileError(current_->FileAction(), current_->Local(), error) +
                  (error == ENOSPC || error == EDQUOT
                       ? " : libérez de la place sur ce disque avant de relancer"
                       : ""));
  }
}

// Nothing is made nor dialled that would not go: the files, the texts of the
// record, the names the server would confuse, the devices, and the journal,
// which must be able to record every transfer and reserves each send (never
// twice, never two at once).
void Call::Check() {
  for (const auto& plan : plans_) plan->Check();
  CheckLineText("l'identifiant", options_.user, xmodemquarvel::kUserIdWidth, false, warnings_);
  std::vector<std::string> files;
  for (const auto& plan : plans_) {
    // The user's file, whose base name the component's path keeps: the
    // messages name what the user typed, never the partial file.
    CheckServerName(plan->File(), warnings_);
    files.push_back(plan->File());
  }
  CheckDistinctServerNames(files);
  for (const std::string& device : options_.devices) CheckDeviceLinks(device);
  log_.emplace(options_, host_.data);
  for (auto& skipped : log_->Reserve(plans_)) {
    const TransferPlan* plan = skipped.first;
    warnings_.push_back(plan->File() + " a déjà été envoyé le " +
                        LocalTime(skipped.second.started) +
                        " : il n'est pas envoyé de nouveau (--skip-sent)");
    const auto at = std::find_if(plans_.begin(), plans_.end(),
                                 [plan](const auto& p) { return p.get() == plan; });
    skipped_.emplace_back(std::move(*at), std::move(skipped.second));
    plans_.erase(at);
  }
}

std::string Call::LineUsed() const {
  return LineName(options_, line_);
}

std::optional<int> Call::AskPassword() {
  try {
    password_ = ObtainPassword(options_.password_file);
  } catch (const Interruption&) {
    std::fprintf(stderr, "Interrompu (%s) avant l'appel : rien n'est envoyé ni reçu.\n",
                 SignalName(StopSignals::ExitCode()).c_str());
    return StopSignals::ExitCode();
  }
  CheckLineText("le mot de passe", password_, xmodemquarvel::kPasswordWidth, true, warnings_);
  return std::nullopt;
}

// From here a signal is noted, not fatal: what was made is removed.
std::optional<int> Call::Prepare() {
  Session& session = session_.emplace(options_, std::move(host_));
  try {
    for (const auto& plan : plans_) plan->Prepare(session);
  } catch (const Interruption&) {
    return StoppedBeforeCall();
  }
  if (session.Interrupted()) return StoppedBeforeCall();
  for (const std::string& w : warnings_) session.Warn("xmodemq: attention : " + w);
  if (!session.Configure()) return kExitUsage;
  auto& module = session.Module();
  // The block events feed the progress display and the journal's count.
  module.BlocSended = [this](int32_t& count) {
    session_->Block(count);
    OnBlockSent(count);
  };
  module.BlocReceived = [this](int32_t& count) { session_->Block(count); };
  module.TransferAccepted = [this](char, int64_t position) { OnAccepted(position); };
  return std::nullopt;
}

// A pool: the first line that opens serves; one in use (or gone) is skipped,
// a call that fails on a line that did open is not.
std::optional<int> Call::Dial() {
  Session& session = *session_;
  ReturnValues connected = session.Connect();
  std::size_t line = 1;
  for (; connected != rvTrue && line < options_.devices.size(); ++line) {
    if (session.Interrupted()) break;
    const auto why = session.LineUnavailable();
    if (!why) break;
    session.Say("xmodemq: ligne " + options_.devices[line - 1] + " indisponible (" + *why +
                ") ; essai de " + options_.devices[line]);
    session.Disconnect();
    if (!session.UseDevice(options_.devices[line])) return kExitUsage;
    connected = session.Connect();
  }
  line_ = line - 1;
  if (session.Interrupted()) return BrokenOff();
  if (connected == rvTrue) return std::nullopt;
  session.ReportFailure();
  return ExitCodeFor(connected);
}

// The plan's row in the journal, then its transfer.
std::optional<int> Call::Transfer(TransferPlan& plan) {
  Session& session = *session_;
  stopped_.reset();
  refused_.reset();
  session.BeginProgress(plan.Label(), plan.TotalBlocks());
  try {
    log_->Start(plan, LineName(options_, line_), [this] { return session_->Interrupted(); });
  } catch (const JournalError& e) {
    if (session.Interrupted()) return BrokenOff();
    session.Warn(std::string("xmodemq: ") + e.what() + " : le transfert de " + plan.File() +
                 " n'est pas fait sans trace.");
    Failed(rvFalse);
    return kExitFailure;
  }
  ReturnValues result = rvFalse;
  try {
    result = plan.Run(session.Module(), options_.user, password_, options_.pack_type);
  } catch (const xmodemquarvel::SerialPortError&) {
    // The line that OnBlockSent() took down under the send.
    if (!stopped_) throw;
  }
  session.EndProgress();
  if (stopped_ && stopped_->kind == Stop::kTaken) return Taken(plan, false);
  if (stopped_) {
    session.Warn("xmodemq: " + stopped_->why + ".");
    Failed(rvFalse);
    Record(rvFalse, stopped_->description, kExitFailure);
    return kExitFailure;
  }
  if (result != rvTrue) {
    if (session.Interrupted()) return BrokenOff();
    // The component's own words; the journal keeps them decoded.
    const std::string raw =
        FormatRecord({}, FrenchSystemTexts(session.Module().ErrorDescription()));
    const std::string why = DecodedRefusal(raw);
    if (result == xmodemquarvel::rvRefuse) refused_ = RefusalStatus(raw);
    // "Already transmitted", of a file whose every block the server
    // acknowledged before (its row says so): it went.
    if (refused_ == xmodemquarvel::svAlreadyTransmited && log_->EarlierHeldWhole()) {
      stopped_.emplace(Stopped{
          Stop::kTaken,
          "le serveur répond qu'il a déjà reçu " + ServerName(plan.File()) +
              " (status 7), dont il avait acquitté tous les blocs le " +
              LocalTime(*log_->EarlierHeldWhole()) + " : l'envoi est noté fait sans rien envoyer",
          "déjà reçu par le serveur (status 7), qui en avait acquitté tous les blocs"});
      return Taken(plan, true);
    }
    if (plan.GoesOnAfter(result, refused_)) {
      session.Say("xmodemq: " + plan.File() + " : " + why + ".");
      Record(result, why, ExitCodeFor(result));
      return std::nullopt;
    }
    session.ReportFailure();
    Failed(result);
    Record(result, why, ExitCodeFor(result));
    return ExitCodeFor(result);
  }
  // Ended well: a signal that came meanwhile came too late to stop this
  // file, which is put in place all the same.
  session.OperationEnded();
  return std::nullopt;
}

// Puts a transfer that ended well in place and completes its row; the line
// goes down first after the last file, or when a signal came.
std::optional<int> Call::Commit(TransferPlan& plan) {
  Session& session = *session_;
  const bool last = &plan == plans_.back().get();
  if (last || session.Interrupted()) session.Disconnect();
  std::optional<TransferPlan::Content> received;
  try {
    received = plan.Received();
    if (const std::string note = plan.Commit(); !note.empty())
      session.Warn("xmodemq: attention : " + note);
  } catch (const std::exception& e) {
    Finish(rvTrue, e.what(), kExitFailure, received);
    throw;
  }
  session.Say(plan.Done() + " : " + BlocksText(session.BlocksThisRun()) + " de " +
              RecordBytesText() + " en " + Progress::FormatTenths(session.Seconds()) + ".");
  Finish(rvTrue, "", kExitOk, received);
  done_.push_back(plan.File());
  if (!session.Interrupted()) return std::nullopt;
  session.Warn(
      "xmodemq: " + SignalName(session.InterruptExitCode()) +
      " reçu après la fin du transfert de " + plan.File() + ", qui est gardé" +
      (last ? "."
            : " ; la suite n'est pas transférée : " + BatchSummary(done_, plans_.size()) + "."));
  return last ? std::nullopt : std::optional(session.InterruptExitCode());
}

void Call::Failed(ReturnValues result) {
  session_->Disconnect();
  current_->AfterFailure(*session_, result);
  if (plans_.size() > 1) session_->Warn("xmodemq: " + BatchSummary(done_, plans_.size()) + ".");
}

void Call::Record(ReturnValues result, const std::string& description, int status) {
  std::optional<int64_t> kept;
  if (result != rvTrue) kept = current_->Kept();
  if (const auto failure =
          log_->Finish(ResultName(result), description, status, session_->BlocksThisRun(), kept))
    session_->Warn("xmodemq: " + *failure);
  current_->SetEnded({result, description, log_->LastRow(),
                      result == xmodemquarvel::rvRefuse ? refused_ : std::nullopt,
                      stopped_ ? stopped_->kind : Stop::kNone});
}

void Call::Finish(ReturnValues result, const std::string& description, int status,
                  const std::optional<TransferPlan::Content>& received) {
  if (const auto failure =
          log_->Finish(ResultName(result), description, status, session_->BlocksThisRun(),
                       received ? std::optional(received->first) : std::nullopt,
                       received ? std::optional(received->second) : std::nullopt)) {
    session_->Warn("xmodemq: " + *failure);
    incomplete_ = true;
  }
  current_->SetEnded({result, description, log_->LastRow()});
}

int Call::BrokenOff() {
  session_->Warn("Interrompu (" + SignalName(session_->InterruptExitCode()) +
                 ") : la ligne est raccrochée.");
  Failed(rvFalse);
  Record(rvFalse, "Opération interrompue", session_->InterruptExitCode());
  return session_->InterruptExitCode();
}

int Call::StoppedBeforeCall() {
  session_->Warn("Interrompu (" + SignalName(session_->InterruptExitCode()) +
                 ") avant l'appel : rien n'est envoyé ni reçu.");
  return session_->InterruptExitCode();
}

int Call::Thrown(const std::string& message) {
  if (session_->Interrupted()) return BrokenOff();
  session_->ReportFailure();
  session_->Warn("xmodemq: " + message);
  Failed(rvFalse);
  Record(rvFalse, message, kExitFailure);
  return kExitFailure;
}

}  // namespace xmodemq
