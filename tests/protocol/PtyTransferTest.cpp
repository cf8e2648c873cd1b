// The whole dialogue, a send and a receive through the termios port and a real
// pseudo-terminal, with the simulated modem and server behind its master side
// in their own thread. Pauses cost nothing on the client's virtual clock; the
// bytes cross the line for real.
#include <gtest/gtest.h>

#include <thread>

#include "ProtocolRig.h"
#include "modem/ServerNumber.h"
#include "sim/PtyLine.h"

namespace xmodemquarvel::testing {
namespace {

TEST(PtyTransfer, DialSendAndReceiveBackThroughThePosixPort) {
  TempDir dir;
  const std::string content = Pattern(128 * 300 + 17, 3);
  WriteFile(dir / "through.pty", content);
  sim::PtyLine line;
  sim::ModemScript script;
  script.dial_answers = {{"NO CARRIER"}, {"CONNECT 9600"}};
  sim::SimulatedModem modem(line, script);
  sim::SimulatedServer server(line);
  modem.AttachServer(&server);
  line.AttachPeer(&modem);
  std::thread far_end([&] { line.Run(); });

  HostOptions options;
  // The far end answers in real time, from its own thread.
  auto clock = std::make_shared<VirtualClock>();
  clock->RealGrace(std::chrono::milliseconds(2000));
  options.clock = clock;
  ModuleXmodem module(std::move(options));
  module.Device(line.SlavePath());
  module.Settings("19200,N,8,1");
  ReturnValues got = module.Connect(3, "9");
  const std::string trace = module.TraceText();
  if (got == rvTrue) got = module.SendFile("u", "p", dir / "through.pty", "0");
  // Same base name: the server serves what it has just stored.
  if (got == rvTrue) got = module.ReceiveFile("u", "p", dir / "through.copy", "0");
  const std::string description = module.ErrorDescription();
  module.Disconnect();
  line.Stop();
  far_end.join();

  const std::string dial = "ATDT9," + std::string(kServerNumber) + "\r\n";
  EXPECT_EQ(trace, "ATZ\r\nOK\r\n" + dial + "NO CARRIER\r\n" + dial + "CONNECT 9600\r\n");
  EXPECT_EQ(module.Caption(), "Xmodem KOVA-CNAMTS Com " + line.SlavePath());
  ASSERT_EQ(got, rvTrue) << description;
  EXPECT_EQ(ReadFile(dir / "through.copy"), content.substr(0, 128 * 300));
}

}  // namespace
}  // namespace xmodemquarvel::testing
