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
  op.convert = [](int source, const std::string& source_name, int target,
                  const std::string& target_name, int32_t& count,
                  const std::function<void(int32_t&)>& event, xmodemquarvel::pack::UnpackCheck*) {
    xmodemquarvel::pack::PackDescriptors(source, source_name, target, target_name, count, event);
  };
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
