#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "module/ModuleXmodemImpl.h"
#include "protocol/Frame.h"
#include "support/SimulatedWorld.h"

namespace xmodemquarvel::testing {

inline std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

// `s` with its byte at `index` replaced.
inline std::string Spoiled(std::string s, std::size_t index, char byte) {
  s.at(index) = byte;
  return s;
}

inline std::string Repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

inline std::vector<int32_t> Range(int32_t first, int32_t last) {
  std::vector<int32_t> out;
  for (int32_t n = first; n <= last; ++n) out.push_back(n);
  return out;
}

inline const std::string kAckCr = Bytes({6, 13});
inline const std::string kNakCr = Bytes({21, 13});
inline const std::string kEotCr = Bytes({4, 13});
inline const std::string kTimeOut = "Pas de réponse dans le délai imparti";
inline const std::string kTenFailures = "\r\n10 tentatives infructueuses";
inline const std::string kTenTimeOuts = kTimeOut + kTenFailures;
inline const std::string kLineCut = "La ligne est coupée";
inline const std::string kUnexpected = "Réponse inattendue du distant";
inline const std::string kBadCount = "Nombre de blocs recus <> nombre de blocs transmis";
inline const std::string kRefused = "Transfert refusé, status ";

inline constexpr auto none = std::nullopt;
// The opening as the component writes it: record frame, EOT, NAK.
inline constexpr std::size_t kOpening = 133 + 2 + 2;
// A frame as it crosses the line, its CR included.
inline std::string LineFrame(std::uint8_t number, const std::string& data) {
  return protocol::BuildFrame(number, data) + '\r';
}

// Server faults a table can name in one call.
inline sim::ServerFaults Silent(int after_messages) {
  return {.silent_after_messages = after_messages};
}

// A far end that a test scripts byte by byte.
class ScriptedPeer final : public sim::LinePeer {
 public:
  std::function<void(std::string_view)> on_bytes;
  void OnHostBytes(std::string_view bytes) override {
    if (on_bytes) on_bytes(bytes);
  }
};

// The component's object state driven directly, on a simulated port whose far
// end the test scripts: for the block link layer and the opening exchange.
struct ImplRig : SimulatedLine {
  ImplRig() {
    HostOptions owner_options;
    owner_options.clock = clock;
    owner_options.port = std::make_unique<sim::SimulatedSerialPort>(clock);
    owner = std::make_unique<ModuleXmodem>(std::move(owner_options));
    port->AttachPeer(&peer);
    impl = std::make_unique<ModuleXmodem::Impl>(*owner, Options());
    port->PortOpen(true);
    port->InputLen(1);
    impl->fields.Result = rvTrue;
    SharedFields::Error().Clear();
  }

  ReturnValues SendAndWait(std::string_view message, int expected) {
    impl->fields.Result = rvTrue;
    return impl->link.SendAndWait(message, expected);
  }

  // Bytes queued for the component now, or after `delay` of line time.
  void Reply(std::string_view bytes) { port->SendToHost(bytes); }
  void ReplyAfter(std::chrono::milliseconds delay, std::string bytes) {
    clock->ScheduleAfter(delay, [this, bytes = std::move(bytes)] { port->SendToHost(bytes); });
  }

  std::string Description() const { return SharedFields::Error().Description; }

  std::unique_ptr<ModuleXmodem> owner;
  ScriptedPeer peer;
  std::unique_ptr<ModuleXmodem::Impl> impl;
};

// A whole component against the simulated server. Either directly on the port
// (the server is the far end, started at once), or through the simulated modem
// (the server answers once a call connects).
struct ServerRig : SimulatedLine {
  enum class Wiring { kDirect, kModem };

  explicit ServerRig(Wiring wiring = Wiring::kDirect, sim::ServerScript script = {},
                     sim::ServerFaults faults = {}) {
    AddServer(std::move(script), faults);
    if (wiring == Wiring::kModem) AddModem();
    module = std::make_unique<ModuleXmodem>(Options());
    module->Trace(true);
    module->BlocSended = [this](int32_t& n) { sent_events.push_back(n); };
    module->BlocReceived = [this](int32_t& n) { received_events.push_back(n); };
    module->Error = [this](std::string& text) { error_events.push_back(text); };
    // Whatever Trace says; with how much the component had written by then.
    module->TransferAccepted = [this](char sens, std::int64_t position) {
      accepted.push_back(sens + std::to_string(position) + " after " +
                         std::to_string(port->HostWrote().size()));
      if (abort_on_acceptance) {
        EXPECT_TRUE(module->Abort());
      }
    };
    if (wiring == Wiring::kDirect) Open();
  }

  // Direct wiring: opens the port as Connect would and starts the server.
  void Open() {
    port->AttachPeer(server.get());
    port->PortOpen(true);
    port->InputLen(1);
    server->Start();
  }

  // Direct wiring: reconnects after a failure dropped the line.
  void Reconnect() {
    if (port->PortOpen()) port->PortOpen(false);
    Open();
  }

  // Writes `content` (unless it is absent) under `name` in the test's
  // directory and sends it.
  ReturnValues Send(const std::string& name, std::optional<std::string_view> content) {
    path = dir / name;
    if (content) WriteFile(path, *content);
    return module->SendFile("u", "p", path, "0");
  }
  ReturnValues Receive(const std::string& name) {
    path = dir / name;
    return module->ReceiveFile("u", "p", path, "0");
  }

  // The result, description and line state a transfer left. A transfer never
  // raises Error, and an opening leaves its packing type in DataType.
  void Expect(ReturnValues got, ReturnValues result, const std::string& description, bool line_up,
              const std::string& what = "") {
    EXPECT_EQ(got, result) << what;
    EXPECT_EQ(module->ErrorDescription(), description) << what;
    EXPECT_EQ(port->PortOpen(), line_up) << what;
    EXPECT_TRUE(error_events.empty()) << what;
    if (!server->Transfers().empty()) {
      EXPECT_EQ(module->DataType(), "0") << what;
    }
  }

  std::unique_ptr<ModuleXmodem> module;
  std::vector<int32_t> sent_events;
  std::vector<int32_t> received_events;
  std::vector<std::string> error_events;
  std::vector<std::string> accepted;
  bool abort_on_acceptance = false;
  std::string path;  // of the last Send or Receive
};

}  // namespace xmodemquarvel::testing
