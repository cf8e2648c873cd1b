#include "Commands.h"
#include "FileOperation.h"

namespace xmodemq {

int RunPack(const Options& options) {
  FileOperation op;
  op.label = "Compactage";
  op.done = "compacté";
  op.source = options.operands[0];
  op.target = options.operands[1];
  op.event = &xmodemquarvel::ModuleXmodem::BlocPacked;
  op.run = [&](xmodemquarvel::ModuleXmodem& module, const std::string& output) {
    module.PackFile(op.source, output);
  };
  return RunFileOperation(options, op);
}

int RunUnpack(const Options& options) {
  FileOperation op;
  op.label = "Décompactage";
  op.done = "décompacté";
  op.source = options.operands[0];
  op.target = options.operands[1];
  op.packed_source = true;
  op.event = &xmodemquarvel::ModuleXmodem::BlocUnpacked;
  op.run = [&](xmodemquarvel::ModuleXmodem& module, const std::string& output) {
    module.UnPackFile(op.source, output);
  };
  return RunFileOperation(options, op);
}

}  // namespace xmodemq
