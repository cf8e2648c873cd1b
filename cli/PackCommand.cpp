#include "Commands.h"
#include "FileOperation.h"

namespace xmodemq {

int RunPack(const Options& options) {
  const std::string& source = options.operands[0];
  const std::string& packed = options.operands[1];
  return RunFileOperation(
      options, "Compactage", source, &xmodemquarvel::ModuleXmodem::BlocPacked,
      [&](xmodemquarvel::ModuleXmodem& module) { module.PackFile(source, packed); });
}

}  // namespace xmodemq
