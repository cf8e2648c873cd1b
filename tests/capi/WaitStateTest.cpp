// The wait's state and the wake descriptor, as a C host meets them.
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capi/Handle.h"
#include "sim/SimulatedModem.h"
#include "sim/SimulatedSerialPort.h"

namespace xmodemquarvel {
namespace {

// From the yield callback, during a dial that a modem answers after 30 s.
TEST(CapiWaitState, TheYieldCallbackReadsWhatIsAwaited) {
  auto clock = std::make_shared<VirtualClock>();
  auto owned = std::make_unique<sim::SimulatedSerialPort>(clock);
  sim::SimulatedSerialPort& port = *owned;
  sim::ModemScript script;
  script.dial_delay = std::chrono::seconds(30);
  sim::SimulatedModem modem(port, script);
  port.AttachPeer(&modem);
  HostOptions options;
  options.clock = clock;
  options.port = std::move(owned);
  struct Seen {
    xq_module* h = nullptr;
    std::vector<std::string> lines;
  } seen;
  auto handle = capi::NewHandle(
      std::move(options),
      [](void* user) {
        auto& s = *static_cast<Seen*>(user);
        xq_wait_state w{};
        ASSERT_EQ(xq_get_wait_state(s.h, &w), XQ_OK);
        const std::string line = std::to_string(w.awaiting) + " " + w.sent + " > " + w.expected +
                                 " " + std::to_string(w.attempt) + "/" +
                                 std::to_string(w.attempts) + " " +
                                 std::to_string((w.remaining_ms + 999) / 1000) + "s";
        if (s.lines.empty() || s.lines.back() != line) s.lines.push_back(line);
      },
      &seen);
  seen.h = handle.get();
  xq_return_value r = -1;
  ASSERT_EQ(xq_connect(seen.h, 1, "0", nullptr, &r), XQ_OK);
  EXPECT_EQ(r, XQ_RV_TRUE);
  // The dial's wait counted down from 60 s to the answer at 30 s.
  ASSERT_GE(seen.lines.size(), 3u);
  EXPECT_EQ(seen.lines.front(), "1 ATZ > OK 1/2 2s");
  EXPECT_EQ(seen.lines.back().substr(seen.lines.back().size() - 4), " 30s");
  xq_wait_state after{};
  after.remaining_ms = 7;
  ASSERT_EQ(xq_get_wait_state(seen.h, &after), XQ_OK);
  EXPECT_EQ(after.awaiting, XQ_AWAIT_NOTHING);
  EXPECT_EQ(after.remaining_ms, -1);
  EXPECT_STREQ(after.sent, "");
  EXPECT_EQ(xq_get_wait_state(seen.h, nullptr), XQ_ERR_ARGUMENT);
  EXPECT_EQ(xq_get_wait_state(nullptr, &after), XQ_ERR_ARGUMENT);
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
constexpr bool kSanitized = __has_feature(address_sanitizer);
#else
constexpr bool kSanitized = false;
#endif

// With no descriptor left for the one that wakes a wait, no handle.
TEST(CapiWaitState, NoWakeDescriptorNoHandle) {
  // Their runtime needs descriptors of its own to report anything.
  if (kSanitized) GTEST_SKIP() << "not under the sanitizers";
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  // The lowest free descriptor is where the next one would go: allow none.
  const int lowest = ::dup(0);
  ASSERT_GE(lowest, 0);
  ::close(lowest);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(lowest);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  xq_module* m = reinterpret_cast<xq_module*>(0x1);
  const xq_status status = xq_create(&m);
  ::setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(status, XQ_ERR_INTERNAL);
  EXPECT_EQ(m, nullptr);
  ASSERT_EQ(xq_create(&m), XQ_OK);
  xq_destroy(m);
}

}  // namespace
}  // namespace xmodemquarvel
