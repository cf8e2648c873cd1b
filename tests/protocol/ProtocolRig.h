#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

#include <gtest/gtest.h>

#include "module/ModuleXmodemImpl.h"
#include "protocol/Frame.h"
#include "support/Inspector.h"
#include "support/SimulatedWorld.h"

namespace xmodemquarvel::testing {

inline std::string Bytes(std::initializer_list<int> values) {
  return {values.begin(), values.end()};
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
inline const std::string kRefused = "Transfert refusé, status ";

inline constexpr auto none = std::nullopt;
// The opening as the component writes it: record frame, EOT, NAK.
inline constexpr std::size_t kOpening = 133 + 2 + 2;
// A frame as it crosses the line, its CR included.
inline std::string LineFrame(std::uint8_t number, const std::string& data) {
  return protocol::BuildFrame(number, data) + '\r';
}

// The component's object state driven directly, on a simulated port whose far
// end the test scripts: for the block link layer and the opening exchange.
struct ImplRig : SimulatedLine, sim::LinePeer {
  ImplRig() {
    port->AttachPeer(this);
    port->PortOpen(true);
    port->InputLen(1);
    impl->fields.Result = rvTrue;
    SharedFields::Error().Clear();
  }

  ReturnValues SendAndWait(std::string_view message, int expected) {
    impl->fields.Result = rvTrue;
    return impl->link.SendAndWait(message, expected);
  }

  // Bytes queued for the component after `delay` of line time.
  void ReplyAfter(std::chrono::milliseconds delay, std::string bytes) {
    clock->ScheduleAfter(delay, [this, bytes = std::move(bytes)] { port->SendToHost(bytes); });
  }

  // The far end, which the test scripts byte by byte.
  void OnHostBytes(std::string_view bytes) override {
    if (on_bytes) on_bytes(bytes);
  }

  std::function<void(std::string_view)> on_bytes;
  std::unique_ptr<ModuleXmodem> module = std::make_unique<ModuleXmodem>(Options());
  ModuleXmodem::Impl* impl = &ModuleXmodemInspector::Of(*module);
};

// A whole component against the simulated server, which is the far end of the
// port, started at once.
struct ServerRig : SimulatedLine {
  explicit ServerRig(sim::ServerFaults faults = {}) {
    AddServer({}, faults);
    module = std::make_unique<ModuleXmodem>(Options());
    module->Trace(true);
    module->BlocSended = [this](int32_t& n) { sent_events.push_back(n); };
    module->BlocReceived = [this](int32_t& n) { received_events.push_back(n); };
    module->Error = [this](std::string& text) { error_events.push_back(text); };
    // Whatever Trace says; with how much the component had written by then.
    module->TransferAccepted = [this](char sens, std::int64_t position) {
      accepted.push_back(sens + std::to_string(position) + " after " +
                         std::to_string(port->HostWrote().size()));
      if (on_accepted) on_accepted();
    };
    // The port opened as Connect would.
    port->AttachPeer(server.get());
    port->PortOpen(true);
    port->InputLen(1);
    server->Start();
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
  void Expect(ReturnValues got, ReturnValues result, const std::string& description, bool line_up) {
    EXPECT_EQ(got, result);
    EXPECT_EQ(module->ErrorDescription(), description);
    EXPECT_EQ(port->PortOpen(), line_up);
    EXPECT_TRUE(error_events.empty());
    if (!server->Transfers().empty()) {
      EXPECT_EQ(module->DataType(), "0");
    }
  }

  std::unique_ptr<ModuleXmodem> module;
  std::vector<int32_t> sent_events, received_events;
  std::vector<std::string> error_events, accepted;
  std::function<void()> on_accepted;  // from TransferAccepted
  std::string path;                   // of the last Send or Receive
};

}  // namespace xmodemquarvel::testing
