#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sim/LinePeer.h"
#include "xmodemquarvel/Clock.h"

namespace xmodemquarvel::sim {

// How the simulated modem behaves.
struct ModemScript {
  // Command echo at power-up; ATE0 and ATE1 change it, ATZ restores it.
  bool echo = true;
  // Sets the high bit of every byte sent in command mode, as a line with even
  // parity read as 8 bits would show it.
  bool parity_bit = false;
  // Commands (without their line end, compared exactly) answered "ERROR".
  std::vector<std::string> refused_commands{};
  // Answer lines to each dial attempt, in order; the last entry serves every
  // later attempt. An empty entry is silence. A line that begins with
  // "CONNECT" connects the call, and the lines after it are not sent.
  std::vector<std::vector<std::string>> dial_answers = {{"CONNECT 9600"}};
  // Answer lines to particular commands (compared exactly), in place of "OK".
  std::vector<std::pair<std::string, std::vector<std::string>>> command_answers{};
  // Bytes already waiting when the port opens: a modem's leftover output.
  std::string leftover{};
  // Time between a command and each of its answer lines.
  Clock::Duration answer_delay{};
  // Time between a dial and each of its answer lines.
  Clock::Duration dial_delay{};
};

// A Hayes modem at the far end of a line. In command mode it answers AT
// commands; once a dial connects it raises CD and hands the line to the
// server. Dropping DTR hangs up and returns it to command mode.
class SimulatedModem final : public LinePeer {
 public:
  explicit SimulatedModem(Line& line, ModemScript script = {});

  // The peer that gets the line while a call is up (may be null).
  void AttachServer(LinePeer* server) { server_ = server; }
  ModemScript& Script() { return script_; }

  bool Connected() const { return connected_; }
  // Every command line received, in order, without its line end.
  const std::vector<std::string>& Commands() const { return commands_; }
  // The number of every dial command (what follows "ATDT").
  const std::vector<std::string>& NumbersDialled() const { return numbers_; }
  int DialAttempts() const { return static_cast<int>(numbers_.size()); }
  int HangUps() const { return hang_ups_; }
  // Told of each dial as it comes, with its number.
  std::function<void(const std::string&)> on_dial;

  // The far end drops the call: carrier lost, back to command mode.
  void HangUp();
  // CTS as the modem holds it (held by default).
  void HoldCts(bool on);

  void OnHostBytes(std::string_view bytes) override;
  void OnDtr(bool on) override;
  void OnPortOpen(bool open) override;

 private:
  void OnCommandLine(const std::string& command);
  void Answer(const std::vector<std::string>& lines, Clock::Duration delay);
  void SendLine(std::string_view text);
  void SendCommandBytes(std::string_view bytes);

  Line& line_;
  ModemScript script_;
  bool echo_;
  LinePeer* server_ = nullptr;
  bool connected_ = false;
  std::string pending_;
  std::vector<std::string> commands_;
  std::vector<std::string> numbers_;
  int hang_ups_ = 0;
  // Answers scheduled for a call that has since been dropped are not sent.
  unsigned generation_ = 0;
};

}  // namespace xmodemquarvel::sim
