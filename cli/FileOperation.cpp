#include "FileOperation.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "ExitCodes.h"
#include "Progress.h"

namespace xmodemq {

int RunFileOperation(const Options& options, const std::string& label, const std::string& input,
                     std::function<void(int32_t&)> xmodemquarvel::ModuleXmodem::*event,
                     const std::function<void(xmodemquarvel::ModuleXmodem&)>& run) {
  const ProgressMode mode =
      ChooseProgressMode(options.quiet, options.progress, ::isatty(STDERR_FILENO) == 1);
  std::optional<int64_t> total_blocks;
  std::error_code ec;
  if (const auto size = std::filesystem::file_size(input, ec); !ec)
    total_blocks = static_cast<int64_t>((size + 127) / 128);
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
