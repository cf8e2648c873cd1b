#include <deque>
#include <memory>

#include "call/Transfer.h"
#include "commands/Commands.h"
#include "files/SendSnapshot.h"
#include "terminal/Text.h"

namespace xmodemq {

// The component sends whatever it is given: a missing file is created empty
// and sent as such, a last record of fewer than 128 bytes is left out, and a
// file that changes during the call goes out as it is at each moment. So the
// file is looked at before the call: it must be there, readable, and of whole
// records (or padded when --pad says so); and what goes out is a private
// copy of it as it was then. Its digests, taken before anything is dialled,
// tell whether it went already and what a server that resumes it holds.
int RunSend(const Options& options, SessionHost host) {
  for (const std::string& file : options.operands) CheckNoControlCharacters("le fichier", file);
  struct Item {
    CheckedFile file;
    std::unique_ptr<SendSnapshot> copy;
  };
  std::deque<Item> items;
  std::deque<TransferKind> kinds;
  for (const std::string& file : options.operands) {
    Item& item = items.emplace_back(Item{CheckSendFile(file, options.pad), nullptr});
    const int64_t size = item.file.size;
    TransferKind& kind = kinds.emplace_back();
    kind.direction = "send";
    kind.file = file;
    kind.label = "Envoi";
    kind.local = file;
    kind.digests = DigestSendFile(item.file);
    // After a password prompt, which Ctrl-C may end: no copy is left behind.
    kind.prepare = [&item, &kind](Session& session) {
      item.copy = std::make_unique<SendSnapshot>(item.file, kind.digests->Sha256Hex(),
                                                 [&session] { return session.Interrupted(); });
      kind.local = item.copy->Path();
    };
    kind.file_action = "lire";
    kind.total_blocks = (size + 127) / 128;
    kind.event = &xmodemquarvel::ModuleXmodem::BlocSended;
    kind.run = [&options, &kind](xmodemquarvel::ModuleXmodem& module, const std::string& password) {
      return module.SendFile(options.user, password, kind.local, options.pack_type);
    };
    kind.done = "Fichier " + file + " envoyé";
    if (size % 128 != 0)
      kind.done += " complété par " + std::to_string(*kind.total_blocks * 128 - size) + " espaces";
  }
  return RunTransfer(options, kinds, std::move(host));
}

}  // namespace xmodemq
