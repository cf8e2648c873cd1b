// Arbitrary bytes as the modem's answers to Connect, or as the server's side
// of SendFile or ReceiveFile (see LineFuzz.h): one target for each call,
// built with XMQ_LINE_CALL set to kConnect, kSend or kReceive (fuzz/run.sh).
#include "LineFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return xmodemquarvel::fuzz::FuzzLine(xmodemquarvel::fuzz::Call::XMQ_LINE_CALL, data, size);
}
