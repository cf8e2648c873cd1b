#include "Commands.h"
#include "Transfer.h"

namespace xmodemq {

// Run again after an interrupted receive, the component asks the server to go
// on after the blocks that the local file already holds.
int RunReceive(const Options& options) {
  const std::string& file = options.operands.front();
  TransferKind kind;
  kind.label = "Réception";
  kind.event = &xmodemquarvel::ModuleXmodem::BlocReceived;
  kind.run = [&](xmodemquarvel::ModuleXmodem& module, const std::string& password) {
    return module.ReceiveFile(options.user, password, file, options.pack_type);
  };
  kind.done = "Fichier " + file + " reçu";
  return RunTransfer(options, kind);
}

}  // namespace xmodemq
