#include "Transfer.h"

#include <cstdio>

#include "ExitCodes.h"
#include "Password.h"
#include "Session.h"

namespace xmodemq {

using xmodemquarvel::ReturnValues;
using xmodemquarvel::rvTrue;

int RunTransfer(const Options& options, const TransferKind& kind) {
  std::string password;
  try {
    password = ObtainPassword(options.password_file);
  } catch (const PasswordError& e) {
    std::fprintf(stderr, "xmodemq: %s\n", e.what());
    return kExitUsage;
  }

  Session session(options);
  if (!session.Configure()) return kExitUsage;

  auto& module = session.Module();
  module.*(kind.event) = [&session](int32_t& count) { session.Block(count); };

  try {
    session.Say("Connexion au serveur…");
    const ReturnValues connected = session.Connect();
    if (session.Interrupted()) {
      session.Say("Interrompu.");
      return session.InterruptExitCode();
    }
    if (connected != rvTrue) {
      session.ReportFailure();
      return ExitCodeFor(connected);
    }
    session.Say("Connecté.");

    session.BeginProgress(kind.label, kind.total_blocks);
    const ReturnValues result = kind.run(module, password);
    session.EndProgress();
    if (session.Interrupted()) {
      session.Say("Interrompu.");
      return session.InterruptExitCode();
    }
    if (result != rvTrue) {
      session.ReportFailure();
      return ExitCodeFor(result);
    }
    const Progress* progress = session.CurrentProgress();
    const int64_t blocks = progress != nullptr ? progress->BlocksThisRun() : 0;
    session.Disconnect();
    if (session.Mode() != ProgressMode::None)
      session.Say(kind.done + " (" + std::to_string(blocks) + " blocs de 128 octets).");
    return kExitOk;
  } catch (const std::exception& e) {
    if (session.Interrupted()) {
      session.Say("Interrompu.");
      return session.InterruptExitCode();
    }
    session.ReportFailure();
    std::fprintf(stderr, "xmodemq: %s\n", e.what());
    return kExitFailure;
  }
}

}  // namespace xmodemq
