#include <gtest/gtest.h>

#include <thread>

#include "modem/ServerNumber.h"
#include "sim/PtyLine.h"
#include "sim/SimulatedModem.h"
#include "xmodemquarvel/ModuleXmodem.h"

namespace xmodemquarvel {
namespace {

// The whole dialogue through the termios port: the modem runs behind the
// master side of a pseudo-terminal pair in its own thread. Pauses cost nothing
// on the client's virtual clock; the answers still cross the line for real.
struct PtyModem {
  explicit PtyModem(sim::ModemScript script) : modem(line, std::move(script)) {
    line.AttachPeer(&modem);
    far_end = std::thread([this] { line.Run(); });
    HostOptions options;
    options.clock = std::make_shared<VirtualClock>();
    module = std::make_unique<ModuleXmodem>(std::move(options));
    module->Device(line.SlavePath());
  }
  ~PtyModem() { Stop(); }
  // Stops the far end; the modem's records may be read after this.
  void Stop() {
    line.Stop();
    if (far_end.joinable()) far_end.join();
  }

  sim::PtyLine line;
  sim::SimulatedModem modem;
  std::thread far_end;
  std::unique_ptr<ModuleXmodem> module;
};

TEST(PtyConnect, TheDialogueWorksThroughThePosixPort) {
  sim::ModemScript script;
  script.dial_answers = {{"NO CARRIER"}, {"CONNECT 9600"}};
  PtyModem pty(script);
  pty.module->Settings("19200,N,8,1");
  const ReturnValues result = pty.module->Connect(3, "9");
  const std::string trace = pty.module->TraceText();
  pty.module->Disconnect();
  pty.Stop();

  EXPECT_EQ(result, rvTrue) << pty.module->ErrorDescription();
  EXPECT_EQ(trace, "ATZ\r\nOK\r\nATDT9," + std::string(kServerNumber) + "\r\nNO CARRIER\r\nATDT9," +
                       kServerNumber + "\r\nCONNECT 9600\r\n");
  EXPECT_EQ(pty.modem.DialAttempts(), 2);
  EXPECT_EQ(pty.module->Caption(), "Xmodem KOVA-CNAMTS Com " + pty.line.SlavePath());
}

TEST(PtyConnect, ANoDialToneAnswerEndsTheCallThroughThePosixPort) {
  sim::ModemScript script;
  script.echo = false;
  script.dial_answers = {{"NO DIALTONE"}};
  PtyModem pty(script);
  const ReturnValues result = pty.module->Connect(3);
  pty.Stop();
  EXPECT_EQ(result, rvCTS);
  EXPECT_EQ(pty.module->ErrorDescription(), "Pas de tonalité");
  EXPECT_EQ(pty.modem.DialAttempts(), 1);
}

}  // namespace
}  // namespace xmodemquarvel
