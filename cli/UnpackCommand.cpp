#include "Commands.h"
#include "FileOperation.h"

namespace xmodemq {

int RunUnpack(const Options& options) {
  const std::string& packed = options.operands[0];
  const std::string& target = options.operands[1];
  return RunFileOperation(
      options, "Décompactage", packed, &xmodemquarvel::ModuleXmodem::BlocUnpacked,
      [&](xmodemquarvel::ModuleXmodem& module) { module.UnPackFile(packed, target); });
}

}  // namespace xmodemq
