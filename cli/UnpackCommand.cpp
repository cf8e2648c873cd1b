#include <filesystem>
#include <system_error>

#include "Commands.h"
#include "FileOperation.h"

namespace xmodemq {

int RunUnpack(const Options& options) {
  const std::string& packed = options.operands[0];
  const std::string& target = options.operands[1];
  std::optional<int64_t> total;
  std::error_code ec;
  if (const auto size = std::filesystem::file_size(packed, ec); !ec)
    total = static_cast<int64_t>((size + 127) / 128);
  return RunFileOperation(
      options, "Décompactage", total, &xmodemquarvel::ModuleXmodem::BlocUnpacked,
      [&](xmodemquarvel::ModuleXmodem& module) { module.UnPackFile(packed, target); });
}

}  // namespace xmodemq
