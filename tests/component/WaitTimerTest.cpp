// The time-out mechanism, the timer and the virtual clock, on their own.
#include "component/WaitTimer.h"

#include <gtest/gtest.h>

#include <thread>

#include "support/SimulatedWorld.h"

namespace xmodemquarvel {
namespace {

using namespace std::chrono_literals;

struct Mechanism {
  explicit Mechanism(std::chrono::milliseconds max_interval = 100ms)
      : timer(clock),
        loop(
            clock, timer, [this] { yields.push_back(NowMs()); }, max_interval),
        wait(timer, loop) {}
  long long NowMs() const { return testing::Ms(clock); }
  VirtualClock clock;
  Timer timer;
  std::vector<long long> yields;
  HostLoop loop;
  WaitTimer wait;
};

TEST(WaitTimer, AWaitEndsWhenItsIntervalAndItsExtraMinutesHaveRun) {
  using Steps = std::function<void(Mechanism&)>;
  const auto busy_then_answer = [](Mechanism& m) {
    m.wait.Arm(2000);
    m.wait.Extend();
    m.wait.Stop();  // the expected answer came during the extension
  };
  // What is done, then when the wait ends (ms from the start).
  const std::pair<Steps, long long> cases[] = {
      {[](Mechanism& m) { m.wait.Arm(2000); }, 2000},
      {[](Mechanism& m) { m.wait.Arm(1); }, 1},
      {[](Mechanism& m) { m.wait.Arm(60000), m.wait.ExtraMinutes = 2; }, 180000},
      // BUSY 1.5 s into a 2 s wait: the wait ends 105 s after the extension.
      {[](Mechanism& m) { m.wait.Arm(2000), m.clock.Advance(1500ms), m.wait.Extend(); }, 106500},
      // The block layer's arming keeps the minute an extension left...
      {[&](Mechanism& m) { busy_then_answer(m), m.wait.ArmKeepingExtraMinutes(10000); }, 70000},
      // ...which a plain arming forgets.
      {[&](Mechanism& m) {
         busy_then_answer(m), m.wait.Arm(5000), m.wait.Stop(), m.wait.ArmKeepingExtraMinutes(10000);
       },
       10000},
  };
  for (const auto& [steps, ends_at] : cases) {
    Mechanism m;
    steps(m);
    while (m.wait.Waiting) m.loop.Idle(nullptr);
    EXPECT_EQ(m.NowMs(), ends_at);
    EXPECT_FALSE(m.timer.Enabled());
  }
  // A time-out of zero never starts the timer: the wait does not end.
  Mechanism m;
  m.wait.Arm(0);
  for (int i = 0; i < 50; ++i) m.loop.Idle(nullptr);
  EXPECT_TRUE(m.wait.Waiting && !m.timer.Enabled());
}

TEST(WaitTimer, APauseLetsTheHostRunAtTheIntervalItAllows) {
  for (const auto limit : {50ms, 0ms}) {
    Mechanism m(limit);
    m.wait.Pause(500);
    EXPECT_EQ(m.NowMs(), 500);
    if (limit == 0ms) {
      EXPECT_EQ(m.yields, std::vector<long long>{500}) << "no bound: one jump to the end";
      continue;
    }
    EXPECT_GE(m.yields.size(), 10u);
    for (std::size_t i = 0; i < m.yields.size(); ++i)
      EXPECT_LE(m.yields[i] - (i == 0 ? 0 : m.yields[i - 1]), 50);
  }
}

// On the real clock: an abort request wakes the wait that blocks at once,
// without a yield callback's interval; then the wake descriptor is quiet
// again, so the next wait blocks instead of spinning.
TEST(HostLoop, AnAbortWakesTheBlockedWaitAndLeavesNoWakeUpBehind) {
  MonotonicClock clock;
  Timer timer(clock);
  int yields = 0;
  HostLoop loop(
      clock, timer, [&yields] { ++yields; }, 0ms);
  WaitTimer wait(timer, loop);
  loop.AcceptAborts(true);
  std::thread asker([&loop] {
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(loop.RequestAbort());
  });
  auto start = clock.Now();
  EXPECT_THROW(wait.Pause(5000), OperationAborted);
  EXPECT_LT(clock.Now() - start, 1s);
  asker.join();
  loop.AcceptAborts(false);
  EXPECT_FALSE(loop.RequestAbort()) << "nothing accepts it";
  yields = 0;
  start = clock.Now();
  wait.Pause(100);
  EXPECT_GE(clock.Now() - start, 95ms);
  EXPECT_LE(yields, 3);
}

TEST(VirtualClock, RunsScheduledEventsInOrderOnTheWay) {
  VirtualClock clock;
  std::vector<int> order;
  clock.ScheduleAfter(30ms, [&] { order.push_back(3); });
  clock.ScheduleAfter(10ms, [&] {
    order.push_back(1);
    clock.ScheduleAfter(5ms, [&] { order.push_back(2); });
  });
  clock.Cancel(clock.ScheduleAfter(20ms, [&] { order.push_back(99); }));
  clock.Advance(100ms);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(clock.Now().time_since_epoch(), 100ms);

  // A simulated line paced at 9600 bit/s takes ten bit times a byte, and
  // chunks queue behind one another.
  auto shared = std::make_shared<VirtualClock>();
  sim::SimulatedSerialPort port(shared);
  port.PaceAt(9600);
  port.PortOpen(true);
  port.SendToHost("0123456789");
  port.SendToHost("abcde");
  const auto bytes = [](long long n) {
    return std::chrono::nanoseconds(n * 10'000'000'000 / 9600);
  };
  for (const auto& [after, waiting] :
       {std::pair{bytes(10) - 1ns, 0}, {bytes(10), 10}, {bytes(15), 15}}) {
    shared->SleepUntil(VirtualClock::TimePoint(after));
    EXPECT_EQ(port.InBufferCount(), waiting);
  }
  EXPECT_EQ(port.Input(), "0123456789abcde");
}

}  // namespace
}  // namespace xmodemquarvel
