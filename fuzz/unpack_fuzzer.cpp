// Decodes any byte sequence as a packed file and checks the result against
// the plain model, the failure on a corrupt end block included.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <system_error>
#include <vector>

#include "pack/PackFiles.h"
#include "pack/ReferenceCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace xmodemquarvel::pack;
  const std::span<const std::uint8_t> packed(data, size);
  std::vector<std::uint8_t> out;
  bool failed = false;
  try {
    UnpackBuffer(packed, out);
  } catch (const std::system_error& e) {
    if (e.code() != std::make_error_code(std::errc::invalid_argument)) std::abort();
    failed = true;
  }
  reference::ReferenceUnpacker model;
  std::vector<std::uint8_t> partial;
  const auto expected = model.Unpack(packed, &partial);
  if (failed == expected.has_value()) std::abort();
  if (out != (expected ? *expected : partial)) std::abort();
  if (out.size() % 128 != 0) std::abort();
  return 0;
}
