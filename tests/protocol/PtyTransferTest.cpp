// A send and a receive through the POSIX port and a real pseudo-terminal, with
// the simulated modem and server behind its master side in their own thread.
#include <gtest/gtest.h>

#include <thread>

#include "ProtocolRig.h"
#include "sim/PtyLine.h"

namespace xmodemquarvel::testing {
namespace {

TEST(PtyTransfer, SendAndReceiveBackThroughThePosixPort) {
  TempDir dir;
  const std::string content = Pattern(128 * 300 + 17, 3);
  const std::string path = dir / "through.pty";
  // Same base name: the server serves what it has just stored.
  const std::string back = dir / "through.copy";
  WriteFile(path, content);

  sim::PtyLine line;
  sim::SimulatedModem modem(line);
  sim::SimulatedServer server(line);
  modem.AttachServer(&server);
  line.AttachPeer(&modem);
  std::thread far_end([&] { line.Run(); });

  // Pauses cost nothing on the virtual clock; the bytes cross the line for real.
  HostOptions options;
  options.clock = std::make_shared<VirtualClock>();
  ModuleXmodem module(std::move(options));
  std::vector<int32_t> received;
  module.Trace(true);
  module.BlocReceived = [&](int32_t& n) { received.push_back(n); };
  module.Device(line.SlavePath());
  const ReturnValues connected = module.Connect(1);
  const ReturnValues sent = connected == rvTrue ? module.SendFile("u", "p", path, "0") : connected;
  const std::string send_description = module.ErrorDescription();
  const ReturnValues got = sent == rvTrue ? module.ReceiveFile("u", "p", back, "0") : sent;
  module.Disconnect();
  line.Stop();
  far_end.join();

  ASSERT_EQ(connected, rvTrue);
  ASSERT_EQ(sent, rvTrue) << send_description;
  ASSERT_EQ(got, rvTrue) << module.ErrorDescription();
  EXPECT_EQ(ReadFile(back), content.substr(0, 128 * 300));
  EXPECT_EQ(received.size(), 300u);
}

}  // namespace
}  // namespace xmodemquarvel::testing
