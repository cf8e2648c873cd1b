#include <filesystem>
#include <system_error>

#include "Commands.h"
#include "FileOperation.h"

namespace xmodemq {

int RunPack(const Options& options) {
  const std::string& source = options.operands[0];
  const std::string& packed = options.operands[1];
  std::optional<int64_t> total;
  std::error_code ec;
  if (const auto size = std::filesystem::file_size(source, ec); !ec)
    total = static_cast<int64_t>((size + 127) / 128);
  return RunFileOperation(
      options, "Compactage", total, &xmodemquarvel::ModuleXmodem::BlocPacked,
      [&](xmodemquarvel::ModuleXmodem& module) { module.PackFile(source, packed); });
}

}  // namespace xmodemq
