#include <filesystem>
#include <system_error>

#include "Commands.h"
#include "Transfer.h"

namespace xmodemq {

int RunSend(const Options& options) {
  const std::string& file = options.operands.front();
  TransferKind kind;
  kind.label = "Envoi";
  // Only whole 128-byte records go out.
  std::error_code ec;
  if (const auto size = std::filesystem::file_size(file, ec); !ec)
    kind.total_blocks = static_cast<int64_t>(size / 128);
  kind.event = &xmodemquarvel::ModuleXmodem::BlocSended;
  kind.run = [&](xmodemquarvel::ModuleXmodem& module, const std::string& password) {
    return module.SendFile(options.user, password, file, options.pack_type);
  };
  kind.done = "Fichier " + file + " envoyé";
  return RunTransfer(options, kind);
}

}  // namespace xmodemq
