#pragma once

#include <chrono>
#include <memory>

#include "sim/SimulatedModem.h"
#include "sim/SimulatedSerialPort.h"
#include "xmodemquarvel/ModuleXmodem.h"

namespace xmodemquarvel::testing {

// A component wired to a simulated modem on a virtual clock: every wait of a
// test costs microseconds of real time.
struct SimulatedWorld {
  explicit SimulatedWorld(
      sim::ModemScript script = {},
      std::chrono::milliseconds max_yield_interval = std::chrono::milliseconds(100)) {
    auto owned = std::make_unique<sim::SimulatedSerialPort>(clock);
    port = owned.get();
    modem = std::make_unique<sim::SimulatedModem>(*port, std::move(script));
    port->AttachPeer(modem.get());
    HostOptions options;
    options.clock = clock;
    options.port = std::move(owned);
    options.yield = [this] {
      ++yields;
      if (on_yield) on_yield();
    };
    options.max_yield_interval = max_yield_interval;
    module = std::make_unique<ModuleXmodem>(std::move(options));
  }

  // Milliseconds of virtual time since the world began.
  long long NowMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(clock->Now().time_since_epoch())
        .count();
  }

  std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>();
  sim::SimulatedSerialPort* port = nullptr;
  std::unique_ptr<sim::SimulatedModem> modem;
  std::unique_ptr<ModuleXmodem> module;
  long long yields = 0;
  std::function<void()> on_yield;
};

}  // namespace xmodemquarvel::testing
