// The Telnet stream of a remote serial line, on byte vectors: data with IAC
// doubled, com port messages, answers to the peer's negotiation, whole or
// split at every byte.
#include "platform/TelnetCodec.h"

#include <gtest/gtest.h>

namespace xmodemquarvel::telnet {
namespace {

using Role = TelnetCodec::Role;
using namespace std::string_literals;

struct Decoded {
  std::string data;
  std::vector<ComPortMessage> messages;
  std::string answers;
  bool agreed = false, refused = false;
  bool operator==(const Decoded&) const = default;
};

Decoded Decode(Role role, bool started, const std::string& in, std::size_t piece) {
  TelnetCodec codec(role);
  if (started) codec.Start();
  codec.Outgoing().clear();
  Decoded d;
  for (std::size_t at = 0; at < in.size(); at += piece)
    codec.Receive(std::string_view(in).substr(at, piece), d.data, d.messages);
  d.answers = codec.Outgoing();
  d.agreed = codec.ComPortAgreed();
  d.refused = codec.ComPortRefused();
  return d;
}

struct Case {
  const char* name;
  Role role;
  bool started;  // our offers went out first
  std::string in;
  Decoded out;
};

TEST(TelnetCodec, DecodesDataMessagesAndNegotiationWholeOrByteByByte) {
  const Role C = Role::kClient, S = Role::kServer;
  // clang-format off
  const std::vector<Case> cases = {
      {"plain data", C, true, "AB\x01\r\n"s, {"AB\x01\r\n"s, {}, "", false, false}},
      {"IAC undoubled", C, true, "A\xFF\xFF\xFF\xFF" "B"s, {"A\xFF\xFF" "B"s, {}, "", false, false}},
      {"NOP and GA dropped", C, true, "A\xFF\xF1\xFF\xF9" "B"s, {"AB", {}, "", false, false}},
      {"modem state amid data", C, true, "x\xFF\xFA\x2C\x6B\x90\xFF\xF0y"s, {"xy", {{107, "\x90"s}}, "", false, false}},
      {"doubled IAC in a value", C, true, "\xFF\xFA\x2C\x65\xFF\xFF\xFF\xF0"s, {"", {{101, "\xFF"s}}, "", false, false}},
      {"command ends a subnegotiation", C, false, "\xFF\xFA\x2C\x6B\x10\xFF\xFB\x03"s, {"", {{107, "\x10"s}}, "\xFF\xFD\x03"s, false, false}},
      {"other option's subnegotiation ignored", C, true, "\xFF\xFA\x18\x01\xFF\xF0Z"s, {"Z", {}, "", false, false}},
      {"DO com port answered our offer", C, true, "\xFF\xFD\x2C"s, {"", {}, "", true, false}},
      {"DO com port unasked: agreed", C, false, "\xFF\xFD\x2C"s, {"", {}, "\xFF\xFB\x2C"s, true, false}},
      {"DONT com port: refused", C, true, "\xFF\xFE\x2C"s, {"", {}, "", false, true}},
      {"DO com port twice: one answer", C, false, "\xFF\xFD\x2C\xFF\xFD\x2C"s, {"", {}, "\xFF\xFB\x2C"s, true, false}},
      {"WILL ECHO declined", C, true, "\xFF\xFB\x01"s, {"", {}, "\xFF\xFE\x01"s, false, false}},
      {"DO TERMINAL-TYPE declined", C, true, "\xFF\xFD\x18"s, {"", {}, "\xFF\xFC\x18"s, false, false}},
      {"WONT BINARY after on", C, false, "\xFF\xFB\x00\xFF\xFC\x00"s, {"", {}, "\xFF\xFD\x00\xFF\xFE\x00"s, false, false}},
      {"server: WILL com port answered", S, true, "\xFF\xFB\x2C"s, {"", {}, "", true, false}},
      {"server: WILL com port unasked", S, false, "\xFF\xFB\x2C"s, {"", {}, "\xFF\xFD\x2C"s, true, false}},
      {"server: DO com port declined", S, true, "\xFF\xFD\x2C"s, {"", {}, "\xFF\xFC\x2C"s, false, false}},
      {"server: SET-BAUDRATE 9600", S, true, "\xFF\xFA\x2C\x01\x00\x00\x25\x80\xFF\xF0"s, {"", {{1, "\x00\x00\x25\x80"s}}, "", false, false}},
  };
  // clang-format on
  for (const Case& c : cases) {
    for (std::size_t piece : {c.in.size(), std::size_t{1}, std::size_t{2}})
      EXPECT_EQ(Decode(c.role, c.started, c.in, piece), c.out) << c.name << ", pieces of " << piece;
  }
}

TEST(TelnetCodec, EncodesOffersDataAndMessagesExactly) {
  TelnetCodec client(Role::kClient);
  client.Start();
  EXPECT_EQ(client.Outgoing(), "\xFF\xFB\x00\xFF\xFD\x00\xFF\xFB\x03\xFF\xFD\x03\xFF\xFB\x2C"s);
  TelnetCodec server(Role::kServer);
  server.Start();
  EXPECT_EQ(server.Outgoing(), "\xFF\xFB\x00\xFF\xFD\x00\xFF\xFB\x03\xFF\xFD\x03\xFF\xFD\x2C"s);

  TelnetCodec codec(Role::kClient);
  codec.SendData("\xFF\x00\xFF"s);
  codec.SendComPort(kSetBaudRate, "\x00\x00\xFF\xFF"s);
  EXPECT_EQ(codec.Outgoing(),
            "\xFF\xFF\x00\xFF\xFF\xFF\xFA\x2C\x01\x00\x00\xFF\xFF\xFF\xFF\xFF\xF0"s);
}

}  // namespace
}  // namespace xmodemquarvel::telnet
