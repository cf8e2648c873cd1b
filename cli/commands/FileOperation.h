#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "commandline/Arguments.h"

namespace xmodemquarvel::pack {
struct UnpackCheck;
}

namespace xmodemq {

// A local file operation of the component: packing or unpacking.
struct FileOperation {
  // "Compactage", "Décompactage": the progress label.
  std::string label;
  // "compacté", "décompacté": said of the result.
  std::string done;
  std::string source;
  std::string target;
  // The source must be a packed file, and its code is compared, as it is
  // decoded, with what the packer writes for the blocks it gives.
  bool unpack = false;
  // The conversion between two open files, their names for its messages,
  // the block count, the progress event and, for an unpack, the check of the
  // code read.
  void (*convert)(int source, const std::string& source_name, int target,
                  const std::string& target_name, int32_t& count,
                  const std::function<void(int32_t&)>& event,
                  xmodemquarvel::pack::UnpackCheck* check) = nullptr;
};

// The component truncates its target first and leaves it half written when
// it fails. So the source is opened and checked once and read through that
// descriptor, a source that is the target is refused, an existing target is
// refused unless --replace, and the output goes to a private temporary file
// renamed over the target only once complete and on disk. An unpack refuses a
// file that is plainly not packed unless --force, and warns when the code it
// read is not what the packer writes (a sample of the blocks, every block with
// --verify). Throws Refusal when nothing was done; a failure of the operation
// is shown and the status is 1.
int RunFileOperation(const Options& options, const FileOperation& operation);

}  // namespace xmodemq
