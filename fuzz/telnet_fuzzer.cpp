// Reads any byte sequence as a Telnet stream from the network, on both ends
// and cut at a place the input chooses: the data never grow, a subnegotiation
// stays bounded, and every answer is a three-byte negotiation. Then the same
// bytes as data cross from one end to the other unchanged.

#include <cstddef>
#include <cstdlib>

#include "platform/TelnetCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace xmodemquarvel::telnet;
  const std::string in(reinterpret_cast<const char*>(data), size);
  const std::size_t cut = size == 0 ? 0 : data[0] % size;
  for (auto role : {TelnetCodec::Role::kClient, TelnetCodec::Role::kServer}) {
    TelnetCodec codec(role);
    std::string out;
    std::vector<ComPortMessage> messages;
    codec.Receive(std::string_view(in).substr(0, cut), out, messages);
    codec.Receive(std::string_view(in).substr(cut), out, messages);
    if (out.size() > size) std::abort();
    for (const auto& m : messages)
      if (m.value.size() >= 64) std::abort();
    const std::string& answers = codec.Outgoing();
    if (answers.size() % 3 != 0) std::abort();
    for (std::size_t i = 0; i < answers.size(); i += 3)
      if (static_cast<std::uint8_t>(answers[i]) != kIac ||
          static_cast<std::uint8_t>(answers[i + 1]) < kWill)
        std::abort();
  }
  TelnetCodec client(TelnetCodec::Role::kClient);
  TelnetCodec server(TelnetCodec::Role::kServer);
  client.SendData(in);
  std::string carried;
  std::vector<ComPortMessage> messages;
  server.Receive(client.Outgoing(), carried, messages);
  if (carried != in || !messages.empty()) std::abort();
  return 0;
}
