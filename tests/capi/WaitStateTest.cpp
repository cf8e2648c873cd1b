// The wait's state and the wake descriptor, as a C host meets them.
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CWorld.h"

namespace xmodemquarvel {
namespace {

// From the yield callback, during a dial that a modem answers after 30 s.
TEST(CapiWaitState, TheYieldCallbackReadsWhatIsAwaited) {
  sim::ModemScript script;
  script.dial_delay = std::chrono::seconds(30);
  CWorld w({}, script);
  std::vector<std::string> lines;
  w.on_yield = [&] {
    xq_wait_state s{};
    ASSERT_EQ(xq_get_wait_state(w.h, &s), XQ_OK);
    const std::string line = std::to_string(s.awaiting) + " " + s.sent + " > " + s.expected + " " +
                             std::to_string(s.attempt) + "/" + std::to_string(s.attempts) + " " +
                             std::to_string((s.remaining_ms + 999) / 1000) + "s";
    if (lines.empty() || lines.back() != line) lines.push_back(line);
  };
  xq_return_value r = -1;
  ASSERT_EQ(xq_connect(w.h, 1, "0", nullptr, &r), XQ_OK);
  EXPECT_EQ(r, XQ_RV_TRUE);
  // The dial's wait counted down from 60 s to the answer at 30 s.
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines.front(), "1 ATZ > OK 1/2 2s");
  EXPECT_EQ(lines.back().substr(lines.back().size() - 4), " 30s");
  xq_wait_state after{};
  after.remaining_ms = 7;
  ASSERT_EQ(xq_get_wait_state(w.h, &after), XQ_OK);
  EXPECT_EQ(after.awaiting, XQ_AWAIT_NOTHING);
  EXPECT_EQ(after.remaining_ms, -1);
  EXPECT_STREQ(after.sent, "");
  EXPECT_EQ(xq_get_wait_state(w.h, nullptr), XQ_ERR_ARGUMENT);
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
