#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "commandline/Arguments.h"

namespace xmodemq {

// A local file operation of the component: packing or unpacking.
struct FileOperation {
  // "Compactage", "Décompactage": the progress label.
  std::string label;
  // "compacté", "décompacté": said of the result.
  std::string done;
  std::string source;
  std::string target;
  // The source must be a packed file, and the result is checked by packing
  // it again.
  bool unpack = false;
  // The conversion between two open files, their names for its messages,
  // the block count and the progress event.
  void (*convert)(int source, const std::string& source_name, int target,
                  const std::string& target_name, int32_t& count,
                  const std::function<void(int32_t&)>& event) = nullptr;
};

// The component truncates its target first and leaves it half written when
// it fails. So the source is opened and checked once and read through that
// descriptor, a source that is the target is refused, an existing target is
// refused unless --replace, and the output goes to a private temporary file
// renamed over the target only once complete and on disk. An unpack refuses a
// file that is plainly not packed unless --force. Throws Refusal when nothing
// was done; a failure of the operation is shown and the status is 1.
int RunFileOperation(const Options& options, const FileOperation& operation);

}  // namespace xmodemq
