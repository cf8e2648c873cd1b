// The wait's state, as a C host's status line reads it.
#include <chrono>

#include "capi/Handle.h"

using namespace xmodemquarvel;
using namespace xmodemquarvel::capi;

extern "C" {

xq_status xq_get_wait_state(xq_module* h, xq_wait_state* out) {
  if (out != nullptr) *out = {XQ_AWAIT_NOTHING, 0, 0, -1, "", ""};
  return Enter(h, [&] {
    Require(out, "out");
    const WaitState state = h->module->CurrentWait();
    xq_wait_state read{};
    read.awaiting = static_cast<int32_t>(state.awaiting);
    read.attempt = state.attempt;
    read.attempts = state.attempts;
    read.remaining_ms =
        state.remaining
            ? std::chrono::duration_cast<std::chrono::milliseconds>(*state.remaining).count()
            : -1;
    read.sent = h->Hand(xq_module::kWaitSent, state.sent, nullptr);
    read.expected = h->Hand(xq_module::kWaitExpected, state.expected, nullptr);
    *out = read;
    return XQ_OK;
  });
}

}  // extern "C"
