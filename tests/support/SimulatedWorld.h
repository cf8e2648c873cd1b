#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sim/LinePeer.h"
#include "sim/SimulatedModem.h"
#include "sim/SimulatedSerialPort.h"
#include "sim/SimulatedServer.h"
#include "support/Files.h"
#include "xmodemquarvel/ModuleXmodem.h"

namespace xmodemquarvel::testing {

inline long long Ms(const VirtualClock& clock) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(clock.Now().time_since_epoch())
      .count();
}

// The server's side of a line, with a hook that may change each message the
// server sends before it goes on the line: one fault placed exactly.
class EditedLine final : public sim::Line {
 public:
  explicit EditedLine(sim::Line& inner) : inner_(inner) {}
  std::function<std::string(std::string)> edit;

  void SendToHost(std::string_view bytes) override {
    inner_.SendToHost(edit ? edit(std::string(bytes)) : std::string(bytes));
  }
  void SetCts(bool on) override { inner_.SetCts(on); }
  void SetCd(bool on) override { inner_.SetCd(on); }
  void After(Clock::Duration delay, std::function<void()> action) override {
    inner_.After(delay, std::move(action));
  }

 private:
  sim::Line& inner_;
};

// A simulated port on the virtual clock, the modem and the server a test puts
// behind it, and a folder of its own: every wait of a test costs microseconds
// of real time. Options() hands the port to the component under test.
struct SimulatedLine {
  // A component on this port whose yield callback counts and calls on_yield.
  HostOptions Options(
      std::chrono::milliseconds max_yield_interval = std::chrono::milliseconds(100)) {
    HostOptions options;
    options.clock = clock;
    options.port = std::move(owned);
    options.yield = [this] {
      ++yields;
      if (on_yield) on_yield();
    };
    options.max_yield_interval = max_yield_interval;
    return options;
  }
  // The server talks through `line`, whose edit may change what it sends.
  void AddServer(sim::ServerScript script = {}, sim::ServerFaults faults = {}) {
    server = std::make_unique<sim::SimulatedServer>(line, std::move(script), faults);
  }
  // The modem answers on the port; the server, if any, once a call connects.
  void AddModem(sim::ModemScript script = {}) {
    modem = std::make_unique<sim::SimulatedModem>(*port, std::move(script));
    modem->AttachServer(server.get());
    port->AttachPeer(modem.get());
  }
  long long NowMs() const { return Ms(*clock); }

  std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>();
  std::unique_ptr<sim::SimulatedSerialPort> owned =
      std::make_unique<sim::SimulatedSerialPort>(clock);
  sim::SimulatedSerialPort* port = owned.get();
  EditedLine line{*port};
  std::unique_ptr<sim::SimulatedServer> server;
  std::unique_ptr<sim::SimulatedModem> modem;
  std::function<void()> on_yield;
  long long yields = 0;
  TempDir dir;
};

// A component wired to a simulated modem, whose Error events it keeps.
struct SimulatedWorld : SimulatedLine {
  explicit SimulatedWorld(sim::ModemScript script = {}) {
    AddModem(std::move(script));
    module = std::make_unique<ModuleXmodem>(Options());
    module->Error = [this](std::string& text) {
      errors.push_back({text, module->ErrorSource(), module->ErrorDescription()});
    };
  }
  // An Error event, with what the error record held while it ran.
  struct ErrorEvent {
    std::string text, source_during, description_during;
  };
  std::unique_ptr<ModuleXmodem> module;
  std::vector<ErrorEvent> errors;
};

}  // namespace xmodemquarvel::testing
