#include <atomic>
#include <csignal>
#include <cstdio>
#include <exception>

#include "commandline/ExitCodes.h"
#include "commands/Commands.h"
#include "simulator/SimulatorHost.h"
#include "system/StopSignals.h"

namespace xmodemq {
namespace {

std::atomic<SimulatorHost*> g_host{nullptr};
static_assert(std::atomic<SimulatorHost*>::is_always_lock_free);

extern "C" void StopSimulator(int) {
  if (SimulatorHost* host = g_host.load()) host->Stop();
}

}  // namespace

int RunSimulate(const Options& options) {
  std::unique_ptr<SimulatorHost> host;
  try {
    host = std::make_unique<SimulatorHost>(options.simulator);
  } catch (const std::invalid_argument& e) {
    std::fprintf(stderr, "xmodemq: simulate : %s\n", e.what());
    return kExitUsage;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "xmodemq: simulate : %s\n", e.what());
    return kExitFailure;
  }
  if (!options.quiet)
    host->log = [](const std::string& text) {
      std::fprintf(stderr, "simulateur : %s\n", text.c_str());
      std::fflush(stderr);
    };

  // SIGINT, SIGTERM and SIGHUP (its terminal closed) end the service; the
  // link goes with the host.
  g_host.store(host.get());
  // A client that vanishes mid-write must not kill the simulator either.
  const StopSignals signals(StopSimulator);

  if (host->Remote())
    std::fprintf(stderr,
                 "xmodemq: attention : %s accepte des clients d'autres machines ; la ligne n'a "
                 "aucune authentification : quiconque atteint ce port appelle le serveur simulé, "
                 "y dépose des fichiers et lit ceux de %s\n",
                 host->Where().c_str(), host->StorePath().c_str());
  if (host->PrivateStore()) {
    std::printf("Dossier du serveur : %s (privé, supprimé à l'arrêt)\n", host->StorePath().c_str());
  } else {
    std::printf("Dossier du serveur : %s\n", host->StorePath().c_str());
  }
  if (options.simulator.listen) {
    std::printf("Simulateur prêt : %s\n", host->Where().c_str());
  } else {
    std::printf("Simulateur prêt : %s -> %s\n", host->Where().c_str(), host->SlavePath().c_str());
  }
  std::fflush(stdout);
  int status = kExitOk;
  try {
    host->Run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "xmodemq: simulate : %s\n", e.what());
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
