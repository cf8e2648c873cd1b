#include "Transfer.h"

#include <csignal>
#include <cstdio>
#include <system_error>

#include "ExitCodes.h"
#include "FileErrors.h"
#include "Password.h"
#include "SafeFiles.h"
#include "protocol/OpeningRecord.h"
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

std::string Tenths(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", seconds);
  std::string s = text;
  for (char& c : s)
    if (c == '.') c = ',';
  return s;
}

}  // namespace

int RunTransfer(const Options& options, const TransferKind& kind, SessionHost host) {
  using Record = xmodemquarvel::OpeningRecord;
  std::vector<std::string> warnings;
  CheckLineText("l'identifiant", options.user, decltype(Record::UserId)::size(), false, warnings);
  CheckServerName(kind.local, warnings);
  const std::string password = ObtainPassword(options.password_file);
  CheckLineText("le mot de passe", password, decltype(Record::PSW)::size(), true, warnings);
  if (kind.prepare) kind.prepare();

  Session session(options, std::move(host));
  for (const std::string& w : warnings) session.Warn("xmodemq: attention : " + w);
  if (!session.Configure()) return kExitUsage;

  auto& module = session.Module();
  module.*(kind.event) = [&session](int32_t& count) { session.Block(count); };

  const auto failed = [&](ReturnValues result) {
    session.Disconnect();
    if (kind.after_failure) kind.after_failure(session, result);
  };
  const auto broken_off = [&] {
    session.Warn("Interrompu (" + SignalName(session.InterruptExitCode()) +
                 ") : la ligne est raccrochée.");
    failed(rvFalse);
    return session.InterruptExitCode();
  };
  try {
    const ReturnValues connected = session.Connect();
    if (session.Interrupted()) return broken_off();
    if (connected != rvTrue) {
      session.ReportFailure();
      return ExitCodeFor(connected);
    }
    session.BeginProgress(kind.label, kind.total_blocks);
    const ReturnValues result = kind.run(module, password);
    session.EndProgress();
    if (session.Interrupted()) return broken_off();
    if (result != rvTrue) {
      session.ReportFailure();
      failed(result);
      return ExitCodeFor(result);
    }
    session.Disconnect();
    if (kind.commit) kind.commit();
    session.Say(kind.done + " : " + std::to_string(session.BlocksThisRun()) +
                " blocs de 128 octets en " + Tenths(session.Seconds()) + ".");
    return kExitOk;
  } catch (const xmodemquarvel::SerialPortError& e) {
    if (session.Interrupted()) return broken_off();
    session.ReportFailure();
    session.Warn(std::string("xmodemq: ") + e.what());
    failed(rvFalse);
    return kExitFailure;
  } catch (const std::system_error& e) {
    // The component's own file operations report by throwing.
    if (session.Interrupted()) return broken_off();
    session.ReportFailure();
    session.Warn("xmodemq: " + FileError(kind.file_action, kind.local, e.code().value()));
    failed(rvFalse);
    return kExitFailure;
  }
}

}  // namespace xmodemq
