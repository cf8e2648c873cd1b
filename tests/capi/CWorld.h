#pragma once
// A C handle on the simulated modem and server, on the virtual clock, and the
// small helpers the C interface's tests share.

#include <gtest/gtest.h>

#include "capi/Handle.h"
#include "support/SimulatedWorld.h"

namespace xmodemquarvel {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::WriteFile;

inline const char* const kBusy = "Appel impossible depuis une fonction de rappel de ce module";

inline std::string Blocks(int count, char seed) {
  return testing::Pattern(128 * count, seed);
}

// A C handle on a simulated port, with the modem and the server behind it.
// Its yield callback, called through the C interface, calls on_yield.
struct CWorld : testing::SimulatedLine {
  explicit CWorld(sim::ServerScript script = {}, sim::ModemScript modem_script = {}) {
    AddServer(std::move(script));
    AddModem(std::move(modem_script));
    const auto yield = [](void* self) {
      if (auto& on = static_cast<CWorld*>(self)->on_yield) on();
    };
    // The host's C callback alone calls on_yield: a handle that failed to
    // install it would be seen.
    HostOptions options = Options();
    options.yield = nullptr;
    handle = capi::NewHandle(std::move(options), yield, this);
    h = handle.get();
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
  // A send or a receive (xq_send_file, xq_receive_file) of `file`, its result.
  xq_return_value Transfer(decltype(&xq_send_file) call, const fs::path& file) {
    xq_return_value result = -1;
    EXPECT_EQ(call(h, "PS0001", "mdp", file.c_str(), "0", &result), XQ_OK) << xq_last_error(h);
    return result;
  }

  std::unique_ptr<xq_module> handle;
  xq_module* h = nullptr;
};

}  // namespace xmodemquarvel
