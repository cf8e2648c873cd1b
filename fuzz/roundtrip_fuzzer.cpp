// Packs any source, checks the packed file against the plain model byte for
// byte, and checks that unpacking gives the source filled with spaces.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "pack/PackFiles.h"
#include "pack/ReferenceCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace xmodemquarvel::pack;
  const std::span<const std::uint8_t> source(data, size);
  std::vector<std::uint8_t> packed;
  PackBuffer(source, packed);
  if (packed.size() % 128 != 0 || packed[packed.size() - 128] > 127) std::abort();
  reference::ReferencePacker model;
  if (packed != model.Pack(source)) std::abort();

  std::vector<std::uint8_t> unpacked;
  UnpackBuffer(packed, unpacked);
  std::vector<std::uint8_t> expected(source.begin(), source.end());
  if (expected.empty()) {
    // A lone end block reads back as a raw block of NULs.
    expected.assign(128, 0);
  } else {
    expected.resize((expected.size() + 127) / 128 * 128, ' ');
  }
  if (unpacked != expected) std::abort();
  return 0;
}
