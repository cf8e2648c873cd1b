#include <memory>

#include "Commands.h"
#include "SafeFiles.h"
#include "Transfer.h"

namespace xmodemq {

// The component sends whatever it is given: a missing file is created empty
// and sent as such, a last record of fewer than 128 bytes is left out. So
// the file is looked at before the call: it must be there, readable, and of
// whole records, or sent as a padded copy when --pad says so.
int RunSend(const Options& options) {
  const std::string& file = options.operands.front();
  const int64_t size = CheckSendFile(file, options.pad);
  std::unique_ptr<PaddedCopy> copy;

  TransferKind kind;
  kind.label = "Envoi";
  kind.local = file;
  // After a password prompt, which Ctrl-C may end: no copy is left behind.
  kind.prepare = [&] {
    if (size % 128 == 0) return;
    copy = std::make_unique<PaddedCopy>(file, size);
    kind.local = copy->Path();
  };
  kind.file_action = "lire";
  kind.total_blocks = (size + 127) / 128;
  kind.event = &xmodemquarvel::ModuleXmodem::BlocSended;
  kind.run = [&](xmodemquarvel::ModuleXmodem& module, const std::string& password) {
    return module.SendFile(options.user, password, kind.local, options.pack_type);
  };
  kind.done = "Fichier " + file + " envoyé";
  if (size % 128 != 0)
    kind.done += " complété par " + std::to_string(*kind.total_blocks * 128 - size) + " espaces";
  return RunTransfer(options, kind);
}

}  // namespace xmodemq
