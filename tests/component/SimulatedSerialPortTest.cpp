#include "sim/SimulatedSerialPort.h"

#include <gtest/gtest.h>

#include <chrono>

namespace xmodemquarvel {
namespace {

using std::chrono::nanoseconds;

// Paced at 9600 bit/s, a byte takes ten bit times in each direction, and
// chunks queue behind one another.
TEST(SimulatedSerialPort, APacedLineTakesTenBitTimesAByte) {
  auto clock = std::make_shared<VirtualClock>();
  sim::SimulatedSerialPort port(clock);
  port.PaceAt(9600);
  port.PortOpen(true);
  port.SendToHost("0123456789");
  port.SendToHost("abcde");
  const auto first = clock->Now() + nanoseconds(10 * 10 * 1'000'000'000LL / 9600);
  clock->SleepUntil(first - nanoseconds(1));
  EXPECT_EQ(port.InBufferCount(), 0);
  clock->SleepUntil(first);
  EXPECT_EQ(port.InBufferCount(), 10);
  clock->SleepUntil(first + nanoseconds(5 * 10 * 1'000'000'000LL / 9600));
  EXPECT_EQ(port.InBufferCount(), 15);
  EXPECT_EQ(port.Input(), "0123456789abcde");
}

}  // namespace
}  // namespace xmodemquarvel
