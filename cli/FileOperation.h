#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "Arguments.h"
#include "xmodemquarvel/ModuleXmodem.h"

namespace xmodemq {

// A local file operation of the component (PackFile, UnPackFile).
struct FileOperation {
  // "Compactage", "Décompactage": the progress label.
  std::string label;
  // "compacté", "décompacté": said of the result.
  std::string done;
  std::string source;
  std::string target;
  // The source must be a packed file: whole 128-byte blocks, at least one.
  bool packed_source = false;
  std::function<void(int32_t&)> xmodemquarvel::ModuleXmodem::*event;
  // Runs the component from the source to `output`, a temporary file beside
  // the target.
  std::function<void(xmodemquarvel::ModuleXmodem&, const std::string& output)> run;
};

// The component truncates its target first and leaves it half written when
// it fails. So the source is checked, a source that is the target is
// refused, and the output goes to a temporary file renamed over the target
// only once complete. Throws Refusal when nothing was done; a failure of the
// operation is shown and the status is 1.
int RunFileOperation(const Options& options, const FileOperation& operation);

}  // namespace xmodemq
