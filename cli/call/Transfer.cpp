#include "call/Transfer.h"

#include <csignal>
#include <cstdio>
#include <deque>
#include <system_error>

#include "call/DeviceLinks.h"
#include "call/Password.h"
#include "call/TransferLog.h"
#include "commandline/ExitCodes.h"
#include "record/LineText.h"
#include "record/ServerNames.h"
#include "system/FileErrors.h"
#include "system/StopSignals.h"
#include "terminal/Progress.h"
#include "xmodemquarvel/LineText.h"
#include "xmodemquarvel/SerialPort.h"

namespace xmodemq {

using xmodemquarvel::ReturnValues;
using xmodemquarvel::rvFalse;
using xmodemquarvel::rvTrue;

namespace {

std::string SignalName(int exit_code) {
  switch (exit_code - 128) {
    case SIGINT:
      return "Ctrl-C";
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP, terminal fermé";
    default:
      return "signal " + std::to_string(exit_code - 128);
  }
}

}  // namespace

// "2 fichiers sur 3 transférés : A, B": what a batch that stopped has done.
std::string BatchSummary(const std::vector<std::string>& done, std::size_t all) {
  std::string text = done.empty() ? "aucun fichier" : std::to_string(done.size()) + " fichier";
  if (done.size() > 1) text += "s";
  text += " sur " + std::to_string(all) + (done.size() > 1 ? " transférés" : " transféré");
  for (std::size_t i = 0; i < done.size(); ++i) text += (i == 0 ? " : " : ", ") + done[i];
  return text;
}

// The line a call goes out on, as the journal names it.
std::string LineName(const Options& options, std::size_t pool_index) {
  if (!options.devices.empty()) return options.devices[pool_index];
  return "/dev/ttyS" + std::to_string(options.port.value_or(1) - 1);
}

int RunTransfer(const Options& options, std::deque<TransferKind>& kinds, SessionHost host) {
  std::vector<std::string> warnings;
  CheckLineText("l'identifiant", options.user, xmodemquarvel::kUserIdWidth, false, warnings);
  std::vector<std::string> files;
  for (const TransferKind& kind : kinds) {
    CheckServerName(kind.local, warnings);
    files.push_back(kind.file);
  }
  CheckDistinctServerNames(files);
  for (const std::string& device : options.devices) CheckDeviceLinks(device);
  // Nothing is dialled that the journal cannot record, nor sent twice.
  TransferLog log(options, host.data);
  log.RefuseSentBefore(kinds);
  std::string password;
  try {
    password = ObtainPassword(options.password_file);
  } catch (const Interruption&) {
    std::fprintf(stderr, "Interrompu (%s) avant l'appel : rien n'est envoyé ni reçu.\n",
                 SignalName(StopSignals::ExitCode()).c_str());
    return StopSignals::ExitCode();
  }
  CheckLineText("le mot de passe", password, xmodemquarvel::kPasswordWidth, true, warnings);

  // From here a signal is noted, not fatal: what was made is removed.
  Session session(options, std::move(host));
  const auto stopped_before_call = [&session] {
    session.Warn("Interrompu (" + SignalName(session.InterruptExitCode()) +
                 ") avant l'appel : rien n'est envoyé ni reçu.");
    return session.InterruptExitCode();
  };
  try {
    for (TransferKind& kind : kinds)
      if (kind.prepare) kind.prepare(session);
  } catch (const Interruption&) {
    return stopped_before_call();
  }
  if (session.Interrupted()) return stopped_before_call();
  for (const std::string& w : warnings) session.Warn("xmodemq: attention : " + w);
  if (!session.Configure()) return kExitUsage;

  auto& module = session.Module();
  const TransferKind* current = &kinds.front();
  std::vector<std::string> done;
  // The row of the transfer that ended, with what a receive keeps.
  const auto record = [&](ReturnValues result, const std::string& description, int status) {
    std::optional<int64_t> bytes;
    if (result != rvTrue && current->kept) bytes = current->kept();
    if (const auto failure =
            log.Finish(ResultName(result), description, status, session.BlocksThisRun(), bytes))
      session.Warn("xmodemq: attention : " + *failure);
  };
  const auto failed = [&](ReturnValues result) {
    session.Disconnect();
    if (current->after_failure) current->after_failure(session, result);
    if (kinds.size() > 1) session.Warn("xmodemq: " + BatchSummary(done, kinds.size()) + ".");
  };
  const auto broken_off = [&] {
    session.Warn("Interrompu (" + SignalName(session.InterruptExitCode()) +
                 ") : la ligne est raccrochée.");
    failed(rvFalse);
    record(rvFalse, "Opération interrompue", session.InterruptExitCode());
    return session.InterruptExitCode();
  };
  // The record's description, on one line.
  const auto description = [&module] { return FormatRecord({}, module.ErrorDescription()); };
  std::size_t line = 0;
  try {
    // A pool: the first line that opens serves; one in use (or gone) is
    // skipped, a call that fails on a line that did open is not.
    ReturnValues connected = session.Connect();
    for (line = 1; connected != rvTrue && line < options.devices.size(); ++line) {
      if (session.Interrupted()) break;
      const auto why = session.LineUnavailable();
      if (!why) break;
      session.Say("xmodemq: ligne " + options.devices[line - 1] + " indisponible (" + *why +
                  ") ; essai de " + options.devices[line]);
      session.Disconnect();
      if (!session.UseDevice(options.devices[line])) return kExitUsage;
      connected = session.Connect();
    }
    --line;
    if (session.Interrupted()) return broken_off();
    if (connected != rvTrue) {
      session.ReportFailure();
      return ExitCodeFor(connected);
    }
    // One call for every file, in order; the first failure ends the batch.
    for (TransferKind& kind : kinds) {
      current = &kind;
      module.*(kind.event) = [&session](int32_t& count) { session.Block(count); };
      // Set when the server holds blocks of another version of a send.
      std::optional<std::string> other_version;
      module.TransferAccepted = [&](char, int64_t position) {
        log.Accepted(position);
        if (kind.digests && position > 0) {
          session.Say("Le serveur détient déjà " + std::to_string(position) + " blocs de " +
                      ServerName(kind.file) + " : l'envoi reprend après eux.");
          kind.done += " (repris après " + std::to_string(position) + " blocs)";
          const ResumeCheck check = log.CheckResume(kind, position);
          if (check.verdict == ResumeVerdict::kSame) {
            session.Say(check.message + ".");
          } else if (check.verdict == ResumeVerdict::kUnknown) {
            session.Warn("xmodemq: attention : " + check.message + ".");
          } else {
            other_version = check.message;
            session.Abort();
          }
        }
        if (kind.accepted) kind.accepted(session, position);
      };
      session.BeginProgress(kind.label, kind.total_blocks);
      try {
        log.Start(kind, LineName(options, line), [&session] { return session.Interrupted(); });
      } catch (const JournalError& e) {
        if (session.Interrupted()) return broken_off();
        session.Warn(std::string("xmodemq: ") + e.what() + " : le transfert de " + kind.file +
                     " n'est pas fait sans trace.");
        failed(rvFalse);
        return kExitFailure;
      }
      const ReturnValues result = kind.run(module, password);
      session.EndProgress();
      if (other_version) {
        session.Warn("xmodemq: " + *other_version + ".");
        failed(rvFalse);
        record(rvFalse, "le serveur détient une autre version de " + ServerName(kind.file),
               kExitFailure);
        return kExitFailure;
      }
      if (result != rvTrue) {
        if (session.Interrupted()) return broken_off();
        const std::string why = description();
        session.ReportFailure();
        failed(result);
        record(result, why, ExitCodeFor(result));
        return ExitCodeFor(result);
      }
      // Ended well: a signal that came meanwhile came too late to stop this
      // file, which is put in place all the same.
      session.OperationEnded();
      const bool last = &kind == &kinds.back();
      if (last || session.Interrupted()) session.Disconnect();
      std::optional<std::pair<int64_t, std::string>> received;
      try {
        if (kind.received) received = kind.received();
        if (kind.commit) kind.commit();
      } catch (const std::exception& e) {
        if (const auto failure =
                log.Finish(ResultName(rvTrue), e.what(), kExitFailure, session.BlocksThisRun(),
                           received ? std::optional(received->first) : std::nullopt,
                           received ? std::optional(received->second) : std::nullopt))
          session.Warn("xmodemq: attention : " + *failure);
        throw;
      }
      session.Say(kind.done + " : " + std::to_string(session.BlocksThisRun()) +
                  " blocs de 128 octets en " + Progress::FormatTenths(session.Seconds()) + ".");
      if (const auto failure =
              log.Finish(ResultName(rvTrue), "", kExitOk, session.BlocksThisRun(),
                         received ? std::optional(received->first) : std::nullopt,
                         received ? std::optional(received->second) : std::nullopt))
        session.Warn("xmodemq: attention : " + *failure);
      done.push_back(kind.file);
      if (!session.Interrupted()) continue;
      session.Warn(
          "xmodemq: " + SignalName(session.InterruptExitCode()) +
          " reçu après la fin du transfert de " + kind.file + ", qui est gardé" +
          (last ? "."
                : " ; la suite n'est pas transférée : " + BatchSummary(done, kinds.size()) + "."));
      return last ? kExitOk : session.InterruptExitCode();
    }
    return kExitOk;
  } catch (const xmodemquarvel::SerialPortError& e) {
    if (session.Interrupted()) return broken_off();
    session.ReportFailure();
    session.Warn(std::string("xmodemq: ") + e.what());
    failed(rvFalse);
    record(rvFalse, e.what(), kExitFailure);
    return kExitFailure;
  } catch (const std::system_error& e) {
    // The component's own file operations report by throwing.
    if (session.Interrupted()) return broken_off();
    session.ReportFailure();
    const std::string message = FileError(current->file_action, current->local, e.code().value());
    session.Warn("xmodemq: " + message);
    failed(rvFalse);
    record(rvFalse, message, kExitFailure);
    return kExitFailure;
  }
}

}  // namespace xmodemq
