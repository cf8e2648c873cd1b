#pragma once

#include <functional>
#include <memory>
#include <string>

#include "sim/LinePeer.h"
#include "simulator/SimulatorOptions.h"

namespace xmodemq {

// The simulated server behind the modem, set up from the options: its status,
// resume answers, known users (from the accounts file), file store and fault
// injections.
class ServerSetup {
 public:
  // Throws std::invalid_argument for a fault, an accounts file or a file to
  // serve that it cannot take. Warns on stderr when others may read the
  // accounts file.
  ServerSetup(xmodemquarvel::sim::Line& line, const SimulatorOptions& options,
              const std::string& store_dir);
  ~ServerSetup();
  ServerSetup(const ServerSetup&) = delete;
  ServerSetup& operator=(const ServerSetup&) = delete;

  xmodemquarvel::sim::LinePeer& Peer();
  // Told of each opening and each completed transfer as it happens (the
  // password is never shown).
  std::function<void(const std::string&)> log;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// "FACT0001" for "/data/FACT0001.TXT": the name under which the server keeps
// a file, as the opening record carries it.
std::string StoredName(const std::string& path);

}  // namespace xmodemq
