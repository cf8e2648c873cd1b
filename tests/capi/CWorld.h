#pragma once
// A C handle on the simulated modem and server, on the virtual clock, and the
// small file helpers the C interface's tests share.
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "capi/Handle.h"
#include "sim/SimulatedModem.h"
#include "sim/SimulatedSerialPort.h"
#include "sim/SimulatedServer.h"

namespace xmodemquarvel {

namespace fs = std::filesystem;

inline const char* const kBusy = "Appel impossible depuis une fonction de rappel de ce module";

inline std::string Blocks(int count, char seed) {
  std::string out;
  for (int i = 0; i < count * 128; ++i) out.push_back(static_cast<char>(seed + i % 97));
  return out;
}

inline std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

inline void Write(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// A C handle on a simulated port, with the modem and the server behind it.
struct CWorld {
  explicit CWorld(sim::ServerScript script = {}) {
    auto owned = std::make_unique<sim::SimulatedSerialPort>(clock);
    port = owned.get();
    server = std::make_unique<sim::SimulatedServer>(*port, std::move(script));
    modem = std::make_unique<sim::SimulatedModem>(*port);
    modem->AttachServer(server.get());
    port->AttachPeer(modem.get());
    HostOptions options;
    options.clock = clock;
    options.port = std::move(owned);
    handle = capi::NewHandle(
        std::move(options), [](void* self) { static_cast<CWorld*>(self)->OnYield(); }, this);
    h = handle.get();
    std::string pattern = (fs::temp_directory_path() / "xq-capi-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    dir = pattern;
  }
  ~CWorld() { fs::remove_all(dir); }

  void OnYield() {
    if (on_yield) on_yield();
  }
  std::string Text(xq_status (*get)(xq_module*, const char**, size_t*)) {
    const char* text = nullptr;
    size_t length = 0;
    EXPECT_EQ(get(h, &text, &length), XQ_OK);
    return {text, length};
  }
  xq_return_value Connect() {
    xq_return_value result = -1;
    EXPECT_EQ(xq_connect(h, 3, nullptr, nullptr, &result), XQ_OK) << xq_last_error(h);
    return result;
  }

  std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>();
  sim::SimulatedSerialPort* port = nullptr;
  std::unique_ptr<sim::SimulatedServer> server;
  std::unique_ptr<sim::SimulatedModem> modem;
  std::unique_ptr<xq_module> handle;
  xq_module* h = nullptr;
  std::function<void()> on_yield;
  fs::path dir;
};

}  // namespace xmodemquarvel
