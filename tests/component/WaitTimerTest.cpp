#include "component/WaitTimer.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "component/HostLoop.h"
#include "component/Timer.h"

namespace xmodemquarvel {
namespace {

using std::chrono::milliseconds;

// The time-out mechanism alone, on a virtual clock.
struct Mechanism {
  explicit Mechanism(milliseconds max_interval = milliseconds(100))
      : timer(clock),
        loop(
            clock, timer, [this] { yield_times.push_back(NowMs()); }, max_interval),
        wait(timer, loop) {}

  long long NowMs() const {
    return std::chrono::duration_cast<milliseconds>(clock.Now().time_since_epoch()).count();
  }
  // Passes of the message loop until the wait runs out.
  void RunOut() {
    while (wait.Waiting) loop.Idle(nullptr);
  }

  VirtualClock clock;
  Timer timer;
  std::vector<long long> yield_times;
  HostLoop loop;
  WaitTimer wait;
};

TEST(WaitTimer, AWaitEndsAfterItsIntervalAndItsExtraMinutes) {
  struct Case {
    int interval;
    int extra;
    long long ends_at;
  };
  const Case cases[] = {{2000, 0, 2000}, {10000, 1, 70000}, {60000, 2, 180000}, {1, 0, 1}};
  for (const auto& c : cases) {
    Mechanism m;
    m.wait.Arm(c.interval);
    m.wait.ExtraMinutes = c.extra;
    m.RunOut();
    EXPECT_EQ(m.NowMs(), c.ends_at) << c.interval << "+" << c.extra;
    EXPECT_FALSE(m.timer.Enabled());
  }
}

TEST(WaitTimer, BusyExtendsTheRunningWaitTo105SecondsFromTheExtension) {
  Mechanism m;
  m.wait.Arm(2000);
  m.clock.Advance(milliseconds(1500));
  m.loop.Yield();
  ASSERT_TRUE(m.wait.Waiting);
  m.wait.Extend();
  m.RunOut();
  EXPECT_EQ(m.NowMs(), 1500 + 105000);
}

TEST(WaitTimer, TheBlockLayerArmingKeepsALeftOverMinute) {
  Mechanism m;
  m.wait.Arm(2000);
  m.wait.Extend();
  m.wait.Stop();  // the expected answer came during the extension
  EXPECT_TRUE(m.wait.Waiting);
  EXPECT_EQ(m.wait.ExtraMinutes, 1);
  const long long armed = m.NowMs();
  m.wait.ArmKeepingExtraMinutes(10000);
  m.RunOut();
  EXPECT_EQ(m.NowMs() - armed, 70000);
  // A plain arming forgets the minute again.
  m.wait.Arm(10000);
  m.wait.Stop();
  m.wait.ArmKeepingExtraMinutes(10000);
  const long long second = m.NowMs();
  m.RunOut();
  EXPECT_EQ(m.NowMs() - second, 10000);
}

TEST(WaitTimer, ATimeOutOfZeroNeverStartsTheTimer) {
  Mechanism m;
  m.wait.Arm(0);
  EXPECT_TRUE(m.wait.Waiting);
  EXPECT_FALSE(m.timer.Enabled());
  for (int i = 0; i < 50; ++i) m.loop.Idle(nullptr);
  EXPECT_TRUE(m.wait.Waiting);
}

TEST(WaitTimer, APauseLetsTheHostRunAtTheIntervalItAllows) {
  Mechanism m(milliseconds(50));
  m.wait.Pause(500);
  EXPECT_EQ(m.NowMs(), 500);
  ASSERT_GE(m.yield_times.size(), 10u);
  long long previous = 0;
  for (long long t : m.yield_times) {
    EXPECT_LE(t - previous, 50);
    previous = t;
  }
}

TEST(WaitTimer, APauseWithoutAnIntervalLimitJumpsStraightToItsEnd) {
  Mechanism m(milliseconds(0));
  m.wait.Pause(1000);
  EXPECT_EQ(m.NowMs(), 1000);
  EXPECT_EQ(m.yield_times.size(), 1u);
}

TEST(Timer, TicksOnlyWhenDeliveredAndCountsFromItsStart) {
  VirtualClock clock;
  Timer timer(clock);
  int ticks = 0;
  timer.OnTick([&] { ++ticks; });
  timer.Interval(1000);
  EXPECT_FALSE(timer.Deadline().has_value());
  clock.Advance(milliseconds(5000));
  timer.Enabled(true);
  EXPECT_FALSE(timer.DeliverIfDue());
  clock.Advance(milliseconds(3500));
  EXPECT_TRUE(timer.DeliverIfDue());
  EXPECT_FALSE(timer.DeliverIfDue());  // late ticks do not pile up
  EXPECT_EQ(ticks, 1);
  timer.Interval(0);
  EXPECT_FALSE(timer.Deadline().has_value());
}

TEST(VirtualClock, RunsScheduledEventsInOrderOnTheWay) {
  VirtualClock clock;
  std::vector<int> order;
  clock.ScheduleAfter(milliseconds(30), [&] { order.push_back(3); });
  clock.ScheduleAfter(milliseconds(10), [&] {
    order.push_back(1);
    clock.ScheduleAfter(milliseconds(5), [&] { order.push_back(2); });
  });
  const auto cancelled = clock.ScheduleAfter(milliseconds(20), [&] { order.push_back(99); });
  clock.Cancel(cancelled);
  clock.Advance(milliseconds(100));
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(clock.Now().time_since_epoch(), milliseconds(100));
}

}  // namespace
}  // namespace xmodemquarvel
