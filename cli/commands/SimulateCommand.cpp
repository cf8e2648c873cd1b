#include <atomic>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>

#include "commandline/ExitCodes.h"
#include "commands/Commands.h"
#include "simulator/SimulatorHost.h"
#include "system/FileErrors.h"
#include "system/StopSignals.h"
#include "terminal/Text.h"

namespace xmodemq {
namespace {

std::atomic<SimulatorHost*> g_host{nullptr};
static_assert(std::atomic<SimulatorHost*>::is_always_lock_free);

extern "C" void StopSimulator(int) {
  if (SimulatorHost* host = g_host.load()) host->Stop();
}

// `text` as one word for a POSIX shell: as it is when it holds only
// characters that a shell leaves alone, else between single quotes.
std::string ShellWord(const std::string& text) {
  bool plain = !text.empty();
  for (char c : text)
    plain = plain && (std::isalnum(static_cast<unsigned char>(c)) != 0 ||
                      std::string_view("/._-+,:@%").find(c) != std::string_view::npos);
  if (plain) return text;
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace

int RunSimulate(const Options& options) {
  std::unique_ptr<SimulatorHost> host;
  try {
    host = std::make_unique<SimulatorHost>(options.simulator);
  } catch (const std::invalid_argument& e) {
    PrintLine(stderr, std::string("xmodemq: simulate : ") + e.what());
    return kExitUsage;
  } catch (const Refusal& e) {
    PrintLine(stderr, std::string("xmodemq: simulate : ") + e.what());
    return kExitUsage;
  } catch (const std::exception& e) {
    PrintLine(stderr, std::string("xmodemq: simulate : ") + e.what());
    return kExitFailure;
  }
  if (!options.quiet)
    host->log = [](const std::string& text) { PrintLine(stderr, "simulateur : " + text); };

  // SIGINT, SIGTERM and SIGHUP (its terminal closed) end the service; the
  // link goes with the host.
  g_host.store(host.get());
  // A client that vanishes mid-write must not kill the simulator either.
  const StopSignals signals(StopSimulator);

  if (host->Remote())
    PrintLine(stderr, "xmodemq: attention : " + host->Where() +
                          " accepte des clients d'autres machines ; la ligne n'a aucune "
                          "authentification : quiconque atteint ce port appelle le serveur "
                          "simulé, y dépose des fichiers et lit ceux de " +
                          host->StorePath());
  PrintLine(stdout, "Dossier du serveur : " + host->StorePath() +
                        (host->PrivateStore() ? " (privé, supprimé à l'arrêt)" : ""));
  // Trial transfers keep their own journal, so that they never count as real
  // ones for the never-twice check: in the store, under a name that the
  // server neither stores nor serves (it starts with a dot), and gone with a
  // private store.
  PrintLine(stdout, "XMODEMQ_JOURNAL=" + ShellWord(host->StorePath() + "/.journal-essais.sqlite"));
  if (options.simulator.listen) {
    PrintLine(stdout, "Simulateur prêt : " + host->Where());
  } else {
    PrintLine(stdout, "Simulateur prêt : " + host->Where() + " -> " + host->SlavePath());
  }
  int status = kExitOk;
  try {
    host->Run();
  } catch (const std::exception& e) {
    PrintLine(stderr, std::string("xmodemq: simulate : ") + e.what());
    status = kExitFailure;
  }
  g_host.store(nullptr);
  host.reset();
  if (!options.quiet) {
    std::fprintf(stderr, "simulateur : arrêt\n");
  }
  return status;
}

}  // namespace xmodemq
