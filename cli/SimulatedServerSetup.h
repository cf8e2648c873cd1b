#pragma once

#include <memory>
#include <string>

#include "SimulatorOptions.h"
#include "sim/LinePeer.h"

namespace xmodemq {

// The simulated server behind the modem, set up from the options: its status,
// resume answers, known users, file store and fault injections.
class ServerSetup {
 public:
  // Throws std::invalid_argument for a fault or account it cannot take.
  ServerSetup(xmodemquarvel::sim::Line& line, const SimulatorOptions& options);
  ~ServerSetup();
  ServerSetup(const ServerSetup&) = delete;
  ServerSetup& operator=(const ServerSetup&) = delete;

  xmodemquarvel::sim::LinePeer& Peer();
  // One line for each opening and each completed transfer since the last
  // call (the password is never shown).
  std::vector<std::string> NewEvents();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// "FACT0001" for "/data/FACT0001.TXT": the name under which the server keeps
// a file, as the opening record carries it.
std::string StoredName(const std::string& path);

}  // namespace xmodemq
