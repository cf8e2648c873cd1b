// The wait's state and the wake descriptor, as a C host meets them.
#include <sys/resource.h>

#include <cstddef>
#include <cstring>

#include "CWorld.h"
#include "modem/ServerNumber.h"

namespace xmodemquarvel {
namespace {

// What a status line reads from the yield callback: each distinct wait of a
// dial that the modem answers after 30 s, a receive of two blocks (the second
// spoilt once: a NAK asks for it again) and the hang-up, in order, and the
// time left.
TEST(CapiWaitState, TheYieldCallbackReadsWhatIsAwaitedItsAttemptAndTheTimeLeft) {
  CWorld w({}, {.dial_delay = std::chrono::seconds(30)});
  w.server->PutFile("f", Blocks(2, 'w'));
  w.server->Faults().corrupt_frame = 2;
  std::vector<std::string> lines;
  std::vector<long long> dial_left_ms;
  w.on_yield = [&] {
    // A host built with a larger state (a later version's) gets zeros past
    // this library's fields; one built with this header, the same as
    // xq_get_wait_state().
    struct {
      xq_wait_state s;
      int64_t later = 7;
    } larger;
    ASSERT_EQ(xq_get_wait_state_sized(w.h, &larger.s, sizeof larger), XQ_OK);
    EXPECT_EQ(larger.later, 0);
    xq_wait_state s{};
    ASSERT_EQ(xq_get_wait_state(w.h, &s), XQ_OK);
    EXPECT_EQ(std::memcmp(&s, &larger.s, sizeof s), 0);
    const std::string line = std::to_string(s.awaiting) + " " + s.sent + " > " + s.expected + " " +
                             std::to_string(s.attempt) + "/" + std::to_string(s.attempts);
    if (lines.empty() || lines.back() != line) lines.push_back(line);
    EXPECT_GE(s.remaining_ms, 0) << line;
    EXPECT_LE(s.remaining_ms, 60'000) << line;
    if (std::string(s.sent).starts_with("ATDT")) dial_left_ms.push_back(s.remaining_ms);
  };
  ASSERT_EQ(w.Connect(), XQ_RV_TRUE);
  ASSERT_EQ(w.Transfer(xq_receive_file, w.dir / "f.txt"), XQ_RV_TRUE);
  EXPECT_EQ(xq_disconnect(w.h), XQ_OK);
  const std::string dial = "ATDT" + std::string(kServerNumber);
  EXPECT_EQ(lines,
            (std::vector<std::string>{"1 ATZ > OK 1/4", "3  >  0/0", "1 " + dial + " > CONNECT 1/4",
                                      "2  > NAK 1/10", "2 trame 0 > ACK 1/10", "2 EOT > ACK 1/10",
                                      "2 NAK > trame 0 ou EOT 1/10", "2 ACK > trame 1 ou EOT 1/10",
                                      "2 ACK > trame 2 ou EOT 1/10", "2 NAK > trame 2 ou EOT 2/10",
                                      "2 ACK > trame 3 ou EOT 1/10", "3  >  0/0"}));
  // The dial's minute, read as it began, counted down to the answer at 30 s.
  ASSERT_FALSE(dial_left_ms.empty());
  EXPECT_GT(dial_left_ms.front(), 59'000);
  EXPECT_EQ((dial_left_ms.back() + 999) / 1000, 30);
  xq_wait_state after{};
  after.remaining_ms = 7;
  ASSERT_EQ(xq_get_wait_state(w.h, &after), XQ_OK);
  EXPECT_EQ(after.awaiting, XQ_AWAIT_NOTHING);
  EXPECT_EQ(after.remaining_ms, -1);
  EXPECT_STREQ(after.sent, "");
  EXPECT_EQ(xq_get_wait_state(w.h, nullptr), XQ_ERR_ARGUMENT);
  // A smaller state gets the fields that fit and nothing past them.
  xq_wait_state smaller{XQ_AWAIT_MODEM, 3, 4, 5, nullptr, nullptr};
  ASSERT_EQ(xq_get_wait_state_sized(w.h, &smaller, offsetof(xq_wait_state, attempts)), XQ_OK);
  EXPECT_EQ(std::to_string(smaller.awaiting) + std::to_string(smaller.attempt) +
                std::to_string(smaller.attempts) + std::to_string(smaller.remaining_ms),
            "0045");
  EXPECT_EQ(xq_get_wait_state_sized(w.h, &smaller, sizeof smaller.awaiting), XQ_OK);
  EXPECT_EQ(xq_get_wait_state_sized(w.h, &smaller, sizeof smaller.awaiting - 1), XQ_ERR_ARGUMENT);
  EXPECT_STREQ(xq_last_error(w.h), "Argument manquant : size");
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
