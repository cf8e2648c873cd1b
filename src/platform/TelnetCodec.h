#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace xmodemquarvel::telnet {

// Bytes of the Telnet stream.
inline constexpr std::uint8_t kIac = 255;
inline constexpr std::uint8_t kDont = 254;
inline constexpr std::uint8_t kDo = 253;
inline constexpr std::uint8_t kWont = 252;
inline constexpr std::uint8_t kWill = 251;
inline constexpr std::uint8_t kSb = 250;
inline constexpr std::uint8_t kSe = 240;

// The options a serial line over Telnet uses.
inline constexpr std::uint8_t kBinary = 0;
inline constexpr std::uint8_t kSuppressGoAhead = 3;
inline constexpr std::uint8_t kComPort = 44;

// Commands of the com port option as the client sends them; the access
// server's answer to each, and its notifications, carry the code plus
// kServerOffset.
enum ComPortCommand : std::uint8_t {
  kSetBaudRate = 1,
  kSetDataSize = 2,
  kSetParity = 3,
  kSetStopSize = 4,
  kSetControl = 5,
  kNotifyModemState = 7,
  kSetModemStateMask = 11,
  kPurgeData = 12,
};
inline constexpr std::uint8_t kServerOffset = 100;

// Values of SET-CONTROL.
inline constexpr std::uint8_t kNoFlowControl = 1;
inline constexpr std::uint8_t kBreakOn = 5;
inline constexpr std::uint8_t kBreakOff = 6;
inline constexpr std::uint8_t kDtrOn = 8;
inline constexpr std::uint8_t kDtrOff = 9;
// Bits of a modem state: carrier, CTS, and the change of each.
inline constexpr std::uint8_t kCd = 0x80;
inline constexpr std::uint8_t kCts = 0x10;
inline constexpr std::uint8_t kDeltaCd = 0x08;
inline constexpr std::uint8_t kDeltaCts = 0x01;
// PURGE-DATA: what the access server received from the serial line and has
// not sent on yet.
inline constexpr std::uint8_t kPurgeReceived = 1;

// One message of the com port option: the command code as on the wire and its
// value bytes.
struct ComPortMessage {
  std::uint8_t command = 0;
  std::string value;
  bool operator==(const ComPortMessage&) const = default;
};

// One end of a Telnet connection that carries a serial line: the client, which
// offers the com port option, or the access server, which asks for it. Both
// want BINARY in both directions and SUPPRESS-GO-AHEAD.
//
// It does no I/O. Receive() takes bytes from the network and gives back the
// line's data with IAC undoubled, and the com port messages; everything that
// has to go to the peer (the offers, the answers to its negotiation, data with
// IAC doubled, com port messages) collects in Outgoing(), which the caller
// writes and clears.
class TelnetCodec {
 public:
  enum class Role { kClient, kServer };
  explicit TelnetCodec(Role role) : role_(role) {}

  // The opening offers.
  void Start();
  void Receive(std::string_view in, std::string& data, std::vector<ComPortMessage>& messages);
  void SendData(std::string_view data);
  void SendComPort(std::uint8_t command, std::string_view value);
  std::string& Outgoing() { return out_; }

  // Whether the peer agreed to the com port option, or refused it.
  bool ComPortAgreed() const;
  bool ComPortRefused() const;
  // Whether the option is on in our sending direction, and in the peer's.
  bool Local(std::uint8_t option) const { return local_[option].on; }
  bool Remote(std::uint8_t option) const { return remote_[option].on; }
  // Whether the peer declined the option we asked for, in either direction.
  bool Refused(std::uint8_t option) const {
    return local_[option].refused || remote_[option].refused;
  }
  // Whether a subnegotiation ran past the longest one the option has: a peer
  // that sends one without end is not a terminal server to talk to.
  bool Overrun() const { return overrun_; }

 private:
  // One direction of one option: on, asked for by us and not yet answered,
  // refused by the peer.
  struct Side {
    bool on = false;
    bool asked = false;
    bool refused = false;
  };
  enum class State { kData, kIac, kVerb, kSbOption, kSbData, kSbIac };

  bool WantLocal(std::uint8_t option) const;
  bool WantRemote(std::uint8_t option) const;
  void OnVerb(std::uint8_t verb, std::uint8_t option);
  void KeepSubnegotiationByte(char c);
  void EndSubnegotiation(std::vector<ComPortMessage>& messages);
  void SendVerb(std::uint8_t verb, std::uint8_t option);

  Role role_;
  State state_ = State::kData;
  std::uint8_t verb_ = 0;
  std::uint8_t sb_option_ = 0;
  // A subnegotiation's bytes; longer ones than any com port message are cut
  // and noted as an overrun.
  std::string sb_;
  bool overrun_ = false;
  std::array<Side, 256> local_{};
  std::array<Side, 256> remote_{};
  std::string out_;
};

}  // namespace xmodemquarvel::telnet
