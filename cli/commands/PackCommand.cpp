#include "commands/Commands.h"
#include "commands/FileOperation.h"
#include "xmodemquarvel/Packing.h"

namespace xmodemq {

int RunPack(const Options& options) {
  FileOperation op;
  op.label = "Compactage";
  op.done = "compacté";
  op.source = options.operands[0];
  op.target = options.operands[1];
  op.convert = &xmodemquarvel::pack::PackDescriptors;
  return RunFileOperation(options, op);
}

int RunUnpack(const Options& options) {
  FileOperation op;
  op.label = "Décompactage";
  op.done = "décompacté";
  op.source = options.operands[0];
  op.target = options.operands[1];
  op.unpack = true;
  op.convert = &xmodemquarvel::pack::UnpackDescriptors;
  return RunFileOperation(options, op);
}

}  // namespace xmodemq
