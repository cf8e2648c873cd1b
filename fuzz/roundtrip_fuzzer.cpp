// Packs any source, checks the packed file against the plain model byte for
// byte, and checks that unpacking gives the source filled with spaces and
// finds the code of every block to be the packer's.

#include <cstdlib>

#include "pack/PackTestSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace xmodemquarvel::pack;
  using namespace test;
  const Bytes source(data, data + size);
  const Bytes packed = Pack(source);
  if (packed != reference::ReferencePacker().Pack(source)) std::abort();
  // A lone end block reads back as a raw block of NULs.
  if (!(Decode(packed) == Decoded{size == 0 ? Bytes(128, 0) : Padded(source)})) std::abort();
  UnpackCheck check{RecodeCheck::kEveryBlock};
  Bytes out;
  UnpackBuffer(packed, out, &check);
  if (check.firstDiffering != 0) std::abort();
  return 0;
}
