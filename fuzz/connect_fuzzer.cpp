// Arbitrary bytes as the modem's answers to Connect (see LineFuzz.h).
#include "LineFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return xmodemquarvel::fuzz::FuzzLine(xmodemquarvel::fuzz::Call::kConnect, data, size);
}
