#include <deque>
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
  struct Item {
    int64_t size = 0;
    std::unique_ptr<PaddedCopy> copy;
  };
  std::deque<Item> items;
  std::deque<TransferKind> kinds;
  for (const std::string& file : options.operands) {
    Item& item = items.emplace_back();
    item.size = CheckSendFile(file, options.pad);
    TransferKind& kind = kinds.emplace_back();
    kind.file = file;
    kind.label = "Envoi";
    kind.local = file;
    // After a password prompt, which Ctrl-C may end: no copy is left behind.
    kind.prepare = [&item, &kind, file] {
      if (item.size % 128 == 0) return;
      item.copy = std::make_unique<PaddedCopy>(file, item.size);
      kind.local = item.copy->Path();
    };
    kind.file_action = "lire";
    kind.total_blocks = (item.size + 127) / 128;
    kind.event = &xmodemquarvel::ModuleXmodem::BlocSended;
    kind.run = [&options, &kind](xmodemquarvel::ModuleXmodem& module, const std::string& password) {
      return module.SendFile(options.user, password, kind.local, options.pack_type);
    };
    kind.done = "Fichier " + file + " envoyé";
    if (item.size % 128 != 0)
      kind.done +=
          " complété par " + std::to_string(*kind.total_blocks * 128 - item.size) + " espaces";
  }
  return RunTransfer(options, kinds);
}

}  // namespace xmodemq
