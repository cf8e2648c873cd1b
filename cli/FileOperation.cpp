#include "FileOperation.h"

#include <unistd.h>

#include <cstdio>

#include "ExitCodes.h"
#include "Progress.h"

namespace xmodemq {

int RunFileOperation(const Options& options, const std::string& label,
                     std::optional<int64_t> total_blocks,
                     std::function<void(int32_t&)> xmodemquarvel::ModuleXmodem::*event,
                     const std::function<void(xmodemquarvel::ModuleXmodem&)>& run) {
  const ProgressMode mode =
      ChooseProgressMode(options.quiet, options.progress, ::isatty(STDERR_FILENO) == 1);
  Progress progress(stderr, mode, label, total_blocks);
  xmodemquarvel::ModuleXmodem module;
  if (mode != ProgressMode::None) module.Trace(true);
  module.*event = [&progress](int32_t& count) { progress.Block(count); };
  try {
    run(module);
  } catch (const std::exception& e) {
    progress.Interrupt();
    std::fprintf(stderr, "xmodemq: %s : %s\n", label.c_str(), e.what());
    return kExitFailure;
  }
  progress.Finish();
  return kExitOk;
}

}  // namespace xmodemq
