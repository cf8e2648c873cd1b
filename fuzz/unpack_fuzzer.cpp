// Decodes any byte sequence as a packed file and checks the result against
// the plain model, the refusal of a corrupt end block included.

#include <cstdlib>

#include "pack/PackTestSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace xmodemquarvel::pack;
  using namespace test;
  const Bytes packed(data, data + size);
  if (!(Decode(packed) == Model(packed))) std::abort();
  return 0;
}
