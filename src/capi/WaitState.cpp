// The wait's state, as a C host's status line reads it.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "capi/Handle.h"

using namespace xmodemquarvel;
using namespace xmodemquarvel::capi;

namespace {

constexpr xq_wait_state kNothing{XQ_AWAIT_NOTHING, 0, 0, -1, "", ""};

xq_wait_state Read(xq_module& h) {
  const WaitState state = h.module->CurrentWait();
  xq_wait_state read{};
  read.awaiting = static_cast<int32_t>(state.awaiting);
  read.attempt = state.attempt;
  read.attempts = state.attempts;
  read.remaining_ms =
      state.remaining
          ? std::chrono::duration_cast<std::chrono::milliseconds>(*state.remaining).count()
          : -1;
  read.sent = h.Hand(xq_module::kWaitSent, state.sent, nullptr);
  read.expected = h.Hand(xq_module::kWaitExpected, state.expected, nullptr);
  return read;
}

}  // namespace

extern "C" {

xq_status xq_get_wait_state(xq_module* h, xq_wait_state* out) {
  if (out != nullptr) *out = kNothing;
  return Enter(h, [&] {
    Require(out, "out");
    *out = Read(*h);
    return XQ_OK;
  });
}

// Fields are only ever added at the end: the host's first `size` bytes are
// the fields it knows, and what it knows past this library's reads 0.
xq_status xq_get_wait_state_sized(xq_module* h, xq_wait_state* out, size_t size) {
  xq_wait_state state = kNothing;
  const bool fits = size >= sizeof state.awaiting;
  const xq_status status = Enter(h, [&] {
    Require(out, "out");
    Require(fits ? out : nullptr, "size");
    state = Read(*h);
    return XQ_OK;
  });
  if (out != nullptr && fits) {
    auto* bytes = reinterpret_cast<unsigned char*>(out);
    const size_t known = std::min(size, sizeof state);
    std::memcpy(bytes, &state, known);
    std::memset(bytes + known, 0, size - known);
  }
  return status;
}

}  // extern "C"
