#include <gtest/gtest.h>

#include <thread>

#include "sim/PtyLine.h"
#include "sim/SimulatedModem.h"
#include "xmodemquarvel/ModuleXmodem.h"

namespace xmodemquarvel {
namespace {

// The whole dialogue through the termios port: the modem runs behind the
// master side of a pseudo-terminal pair in its own thread.
TEST(PtyConnect, TheDialogueWorksThroughThePosixPort) {
  sim::PtyLine line;
  sim::ModemScript script;
  script.dial_answers = {{"NO CARRIER"}, {"CONNECT 9600"}};
  sim::SimulatedModem modem(line, script);
  line.AttachPeer(&modem);
  std::thread far_end([&] { line.Run(); });

  // Pauses cost nothing on the virtual clock; answers still cross the line for real.
  HostOptions options;
  options.clock = std::make_shared<VirtualClock>();
  ModuleXmodem module(std::move(options));
  module.Device(line.SlavePath());
  module.Settings("19200,N,8,1");
  const ReturnValues result = module.Connect(3, "9");
  const std::string trace = module.TraceText();
  module.Disconnect();
  line.Stop();
  far_end.join();

  EXPECT_EQ(result, rvTrue) << module.ErrorDescription();
  EXPECT_EQ(trace,
            "ATZ\r\nOK\r\nATDT9,0199001234\r\nNO CARRIER\r\nATDT9,0199001234\r\n"
            "CONNECT 9600\r\n");
  EXPECT_EQ(modem.DialAttempts(), 2);
  EXPECT_EQ(module.Caption(), "Xmodem KOVA-CNAMTS Com " + line.SlavePath());
}

TEST(PtyConnect, ANoDialToneAnswerEndsTheCallThroughThePosixPort) {
  sim::PtyLine line;
  sim::ModemScript script;
  script.echo = false;
  script.dial_answers = {{"NO DIALTONE"}};
  sim::SimulatedModem modem(line, script);
  line.AttachPeer(&modem);
  std::thread far_end([&] { line.Run(); });
  HostOptions options;
  options.clock = std::make_shared<VirtualClock>();
  ModuleXmodem module(std::move(options));
  module.Device(line.SlavePath());
  const ReturnValues result = module.Connect(3);
  line.Stop();
  far_end.join();
  EXPECT_EQ(result, rvCTS);
  EXPECT_EQ(module.ErrorDescription(), "Pas de tonalité");
  EXPECT_EQ(modem.DialAttempts(), 1);
}

}  // namespace
}  // namespace xmodemquarvel
