#include "sim/SimulatedModem.h"

#include <algorithm>
#include <bit>
#include <cstdint>

namespace xmodemquarvel::sim {
namespace {

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

}  // namespace

SimulatedModem::SimulatedModem(Line& line, ModemScript script)
    : line_(line), script_(std::move(script)), echo_(script_.echo) {
  // No carrier until a call connects.
  line_.SetCd(false);
}

void SimulatedModem::OnHostBytes(std::string_view bytes) {
  if (connected_) {
    if (server_ != nullptr) server_->OnHostBytes(bytes);
    return;
  }
  for (char c : bytes) {
    if (c == '\n') continue;
    if (echo_) SendCommandBytes(std::string_view(&c, 1));
    if (c == '\r') {
      std::string command = std::move(pending_);
      pending_.clear();
      if (!command.empty()) OnCommandLine(command);
      // A command that connected hands the rest of the bytes to the server.
      if (connected_) return;
    } else {
      pending_.push_back(c);
    }
  }
}

void SimulatedModem::OnCommandLine(const std::string& command) {
  commands_.push_back(command);
  const auto refused =
      std::find(script_.refused_commands.begin(), script_.refused_commands.end(), command);
  if (refused != script_.refused_commands.end()) {
    Answer({"ERROR"}, script_.answer_delay);
    return;
  }
  for (const auto& [text, lines] : script_.command_answers) {
    if (text == command) {
      Answer(lines, script_.answer_delay);
      return;
    }
  }
  std::string upper(command);
  for (char& c : upper) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
  if (!StartsWith(upper, "AT")) return;
  if (StartsWith(upper, "ATD")) {
    std::string_view number = std::string_view(command).substr(3);
    if (!number.empty() &&
        (number[0] == 'T' || number[0] == 'P' || number[0] == 't' || number[0] == 'p'))
      number.remove_prefix(1);
    numbers_.emplace_back(number);
    if (on_dial) on_dial(numbers_.back());
    const auto& answers = script_.dial_answers;
    if (answers.empty()) return;
    const std::size_t index = std::min(numbers_.size() - 1, answers.size() - 1);
    Answer(answers[index], script_.dial_delay);
    return;
  }
  if (StartsWith(upper, "ATZ")) {
    echo_ = script_.echo;
  } else if (upper.find("E0") != std::string::npos) {
    echo_ = false;
  } else if (upper.find("E1") != std::string::npos) {
    echo_ = true;
  }
  Answer({"OK"}, script_.answer_delay);
}

void SimulatedModem::Answer(const std::vector<std::string>& lines, Clock::Duration delay) {
  const unsigned generation = generation_;
  Clock::Duration at = delay;
  for (const std::string& text : lines) {
    auto send = [this, text, generation] {
      if (generation != generation_ || connected_) return;
      SendLine(text);
      if (StartsWith(text, "CONNECT")) {
        connected_ = true;
        line_.SetCd(true);
        if (server_ != nullptr) server_->OnCarrier(true);
      }
    };
    if (at == Clock::Duration::zero()) {
      send();
      if (connected_) return;
    } else {
      line_.After(at, send);
    }
    at += delay;
  }
}

void SimulatedModem::SendLine(std::string_view text) {
  std::string bytes = "\r\n";
  bytes.append(text);
  bytes.append("\r\n");
  SendCommandBytes(bytes);
}

void SimulatedModem::SendCommandBytes(std::string_view bytes) {
  if (!script_.parity_bit) {
    line_.SendToHost(bytes);
    return;
  }
  // Even parity in the high bit, as a 7E1 line read as eight bits shows it.
  std::string marked(bytes);
  for (char& c : marked) {
    const auto b = static_cast<std::uint8_t>(c & 0x7F);
    c = static_cast<char>(std::popcount(b) % 2 != 0 ? b | 0x80 : b);
  }
  line_.SendToHost(marked);
}

void SimulatedModem::HangUp() {
  ++generation_;
  pending_.clear();
  if (!connected_) return;
  connected_ = false;
  ++hang_ups_;
  line_.SetCd(false);
  if (server_ != nullptr) server_->OnCarrier(false);
  SendLine("NO CARRIER");
}

void SimulatedModem::HoldCts(bool on) {
  line_.SetCts(on);
}

void SimulatedModem::OnDtr(bool on) {
  if (!on) HangUp();
}

void SimulatedModem::OnPortOpen(bool open) {
  // Closing the port drops DTR.
  if (!open) HangUp();
  if (open && !script_.leftover.empty()) line_.SendToHost(script_.leftover);
}

}  // namespace xmodemquarvel::sim
