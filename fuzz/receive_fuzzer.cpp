// Arbitrary bytes as the server's side of ReceiveFile (see LineFuzz.h).
#include "LineFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return xmodemquarvel::fuzz::FuzzLine(xmodemquarvel::fuzz::Call::kReceive, data, size);
}
