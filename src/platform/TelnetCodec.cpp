#include "platform/TelnetCodec.h"

namespace xmodemquarvel::telnet {
namespace {

// No com port message is longer than a command byte and four value bytes.
constexpr std::size_t kLongestSubnegotiation = 64;

}  // namespace

bool TelnetCodec::WantLocal(std::uint8_t option) const {
  return option == kBinary || option == kSuppressGoAhead ||
         (option == kComPort && role_ == Role::kClient);
}

bool TelnetCodec::WantRemote(std::uint8_t option) const {
  return option == kBinary || option == kSuppressGoAhead ||
         (option == kComPort && role_ == Role::kServer);
}

void TelnetCodec::Start() {
  for (std::uint8_t option : {kBinary, kSuppressGoAhead, kComPort}) {
    if (WantLocal(option) && !local_[option].on) {
      local_[option].asked = true;
      SendVerb(kWill, option);
    }
    if (WantRemote(option) && !remote_[option].on) {
      remote_[option].asked = true;
      SendVerb(kDo, option);
    }
  }
}

bool TelnetCodec::ComPortAgreed() const {
  return role_ == Role::kClient ? local_[kComPort].on : remote_[kComPort].on;
}

bool TelnetCodec::ComPortRefused() const {
  return role_ == Role::kClient ? local_[kComPort].refused : remote_[kComPort].refused;
}

void TelnetCodec::SendVerb(std::uint8_t verb, std::uint8_t option) {
  out_.push_back(static_cast<char>(kIac));
  out_.push_back(static_cast<char>(verb));
  out_.push_back(static_cast<char>(option));
}

// A request that would put an option in the state it is already in gets no
// answer, so two ends never loop on one option.
void TelnetCodec::OnVerb(std::uint8_t verb, std::uint8_t option) {
  const bool about_local = verb == kDo || verb == kDont;
  Side& side = about_local ? local_[option] : remote_[option];
  const bool wanted = about_local ? WantLocal(option) : WantRemote(option);
  const std::uint8_t agree = about_local ? kWill : kDo;
  const std::uint8_t decline = about_local ? kWont : kDont;
  if (verb == kDo || verb == kWill) {
    if (side.on) return;
    if (!wanted) {
      SendVerb(decline, option);
      return;
    }
    side.on = true;
    side.refused = false;
    if (!side.asked) SendVerb(agree, option);
    side.asked = false;
    return;
  }
  if (side.asked) {
    side.asked = false;
    side.refused = true;
  }
  if (side.on) {
    side.on = false;
    SendVerb(decline, option);
  }
}

void TelnetCodec::KeepSubnegotiationByte(char c) {
  if (sb_.size() < kLongestSubnegotiation) {
    sb_.push_back(c);
  } else {
    overrun_ = true;
  }
}

void TelnetCodec::EndSubnegotiation(std::vector<ComPortMessage>& messages) {
  if (sb_option_ == kComPort && !sb_.empty())
    messages.push_back({static_cast<std::uint8_t>(sb_[0]), sb_.substr(1)});
  sb_.clear();
  state_ = State::kData;
}

void TelnetCodec::Receive(std::string_view in, std::string& data,
                          std::vector<ComPortMessage>& messages) {
  for (char c : in) {
    const auto b = static_cast<std::uint8_t>(c);
    switch (state_) {
      case State::kData:
        if (b == kIac) {
          state_ = State::kIac;
        } else {
          data.push_back(c);
        }
        break;
      case State::kIac:
        if (b == kIac) {
          data.push_back(c);
          state_ = State::kData;
        } else if (b >= kWill) {
          verb_ = b;
          state_ = State::kVerb;
        } else if (b == kSb) {
          state_ = State::kSbOption;
        } else {
          // NOP, GA, AYT, a stray SE...: nothing for a serial line.
          state_ = State::kData;
        }
        break;
      case State::kVerb:
        OnVerb(verb_, b);
        state_ = State::kData;
        break;
      case State::kSbOption:
        sb_option_ = b;
        sb_.clear();
        state_ = State::kSbData;
        break;
      case State::kSbData:
        if (b == kIac) {
          state_ = State::kSbIac;
        } else {
          KeepSubnegotiationByte(c);
        }
        break;
      case State::kSbIac:
        if (b == kIac) {
          KeepSubnegotiationByte(c);
          state_ = State::kSbData;
        } else if (b == kSe) {
          EndSubnegotiation(messages);
        } else {
          // A command inside a subnegotiation ends it, and is taken as such.
          EndSubnegotiation(messages);
          state_ = State::kIac;
          const char again = c;
          Receive(std::string_view(&again, 1), data, messages);
        }
        break;
    }
  }
}

void TelnetCodec::SendData(std::string_view data) {
  for (char c : data) {
    out_.push_back(c);
    if (static_cast<std::uint8_t>(c) == kIac) out_.push_back(c);
  }
}

void TelnetCodec::SendComPort(std::uint8_t command, std::string_view value) {
  out_.push_back(static_cast<char>(kIac));
  out_.push_back(static_cast<char>(kSb));
  out_.push_back(static_cast<char>(kComPort));
  out_.push_back(static_cast<char>(command));
  SendData(value);
  out_.push_back(static_cast<char>(kIac));
  out_.push_back(static_cast<char>(kSe));
}

}  // namespace xmodemquarvel::telnet
