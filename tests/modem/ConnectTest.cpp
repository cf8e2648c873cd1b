#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "modem/ServerNumber.h"
#include "support/Inspector.h"
#include "support/SimulatedWorld.h"

namespace xmodemquarvel {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using testing::SimulatedWorld;

const std::string kNumber = kServerNumber;
const std::string kDial = "ATDT" + kNumber;

constexpr char kTimeOut[] = "Le modem n'a pas répondu dans le délai imparti";
constexpr char kResetTimeOut[] = "ATZ - Le modem n'a pas répondu dans le délai imparti";

// Plain texts: g++ 12 at -O2 takes std::string members of this nested table
// for uninitialised.
struct Outcome {
  ReturnValues result;
  const char* description;
  bool port_open;
  ModemModeValues mode;
};

int Count(const std::vector<std::string>& commands, const std::string& command) {
  return static_cast<int>(std::count(commands.begin(), commands.end(), command));
}

struct ConnectCase {
  const char* name;
  sim::ModemScript script;
  int tentatives;
  std::string init;
  Outcome expected;
  // How many times the failing or last command went out.
  std::string counted;
  int times;
};

std::vector<ConnectCase> Cases() {
  auto dial = [](std::vector<std::vector<std::string>> answers) {
    sim::ModemScript s;
    s.dial_answers = std::move(answers);
    return s;
  };
  auto answering = [](std::string command, std::vector<std::string> lines) {
    sim::ModemScript s;
    s.command_answers = {{std::move(command), std::move(lines)}};
    return s;
  };
  sim::ModemScript no_echo;
  no_echo.echo = false;
  sim::ModemScript parity;
  parity.parity_bit = true;
  sim::ModemScript refused_init;
  refused_init.refused_commands = {"AT&F&C1"};
  sim::ModemScript leftover;
  leftover.leftover = "\r\nERROR\r\nNO CARRIER\r\n";

  return {
      {"connected with echo", {}, 3, "", {rvTrue, "", true, mmvConnecté}, kDial, 1},
      {"connected without echo", no_echo, 3, "", {rvTrue, "", true, mmvConnecté}, kDial, 1},
      {"parity bit ignored", parity, 3, "", {rvTrue, "", true, mmvConnecté}, kDial, 1},
      {"leftover input is discarded", leftover, 3, "", {rvTrue, "", true, mmvConnecté}, "ATZ", 1},
      {"connected after an init string",
       {},
       3,
       "AT&F&C1",
       {rvTrue, "", true, mmvConnecté},
       "AT&F&C1",
       1},
      {"no carrier on every dial",
       dial({{"NO CARRIER"}}),
       3,
       "",
       {rvFalse, "NO CARRIER", false, mmvCommande},
       kDial,
       4},
      {"no answer on every dial",
       dial({{"NO ANSWER"}}),
       2,
       "",
       {rvFalse, "NO ANSWER", false, mmvCommande},
       kDial,
       3},
      {"no carrier then connect",
       dial({{"NO CARRIER"}, {"CONNECT 2400"}}),
       3,
       "",
       {rvTrue, "", true, mmvConnecté},
       kDial,
       2},
      {"no dial tone",
       dial({{"NO DIALTONE"}}),
       3,
       "",
       {rvCTS, "Pas de tonalité", false, mmvCommande},
       kDial,
       1},
      {"blacklisted",
       dial({{"BLACKLISTED"}}),
       3,
       "",
       {rvCTS, "Black Liste - Appel interdit", false, mmvCommande},
       kDial,
       1},
      {"error on the dial",
       dial({{"ERROR"}}),
       3,
       "",
       {rvCTS, "ERROR", false, mmvCommande},
       kDial,
       1},
      {"silence after the dial",
       dial({{}}),
       3,
       "",
       {rvFalse, kTimeOut, false, mmvCommande},
       kDial,
       4},
      {"information lines are read past",
       dial({{"RINGING", "RINGING", "CONNECT"}}),
       3,
       "",
       {rvTrue, "", true, mmvConnecté},
       kDial,
       1},
      {"reset never answered",
       answering("ATZ", {}),
       3,
       "",
       {rvFalse, kResetTimeOut, false, mmvCommande},
       "ATZ",
       4},
      {"reset answered in lower case",
       answering("ATZ", {"ok"}),
       1,
       "",
       {rvFalse, kResetTimeOut, false, mmvCommande},
       "ATZ",
       2},
      {"reset refused",
       answering("ATZ", {"ERROR"}),
       3,
       "",
       {rvCTS, "ATZ - ERROR", false, mmvCommande},
       "ATZ",
       1},
      {"unexpected connect on the reset",
       answering("ATZ", {"CONNECT"}),
       3,
       "",
       {rvFalse, "ATZ - NO CARRIER", false, mmvCommande},
       "ATZ",
       4},
      {"init string refused",
       refused_init,
       3,
       "AT&F&C1",
       {rvCTS, "Erreur dans la chaine d'initialisation AT&F&C1", true, mmvCommande},
       "AT&F&C1",
       1},
      {"zero attempts count as one",
       dial({{"NO CARRIER"}}),
       0,
       "",
       {rvFalse, "NO CARRIER", false, mmvCommande},
       kDial,
       2},
      {"negative attempts count as one",
       dial({{"NO CARRIER"}}),
       -7,
       "",
       {rvFalse, "NO CARRIER", false, mmvCommande},
       kDial,
       2},
  };
}

TEST(Connect, EveryOutcomeLeavesItsResultRecordPortAndMode) {
  for (const ConnectCase& c : Cases()) {
    SCOPED_TRACE(c.name);
    SimulatedWorld w(c.script);
    std::vector<std::string> events;
    w.module->Error = [&](std::string& text) { events.push_back(text); };
    w.module->Settings("9600,N,8,1");
    const ReturnValues result = w.module->Connect(c.tentatives, "", c.init);
    EXPECT_EQ(result, c.expected.result);
    EXPECT_EQ(w.module->ErrorSource(), "Xmodem: Connect");
    EXPECT_EQ(w.module->ErrorDescription(), c.expected.description);
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(w.port->PortOpen(), c.expected.port_open);
    EXPECT_EQ(ModuleXmodemInspector::Of(*w.module).ModemMode, c.expected.mode);
    EXPECT_EQ(Count(w.modem->Commands(), c.counted), c.times);
  }
}

TEST(Connect, PreparesThePortAndSendsResetInitAndDial) {
  SimulatedWorld w;
  // Whatever the port held before, Connect sets what the dialogue relies on.
  w.port->Break(true);
  w.port->RThreshold(5);
  w.port->InputLen(0);
  ASSERT_EQ(w.module->Connect(3, "0", "ATM0"), rvTrue);
  EXPECT_EQ(w.modem->Commands(), (std::vector<std::string>{"ATZ", "ATM0", "ATDT0," + kNumber}));
  EXPECT_EQ(w.modem->NumbersDialled(), (std::vector<std::string>{"0," + kNumber}));
  EXPECT_EQ(w.port->HostWrote(), "ATZ\r\nATM0\r\nATDT0," + kNumber + "\r\n");
  EXPECT_FALSE(w.port->BreakOn());
  EXPECT_EQ(w.port->RThresholdValue(), 0);
  EXPECT_EQ(w.port->InputLenValue(), 1);
  EXPECT_TRUE(w.port->DTREnable());
  // The reset is followed by its one-second pause.
  EXPECT_GE(w.NowMs(), 1000);
  EXPECT_TRUE(w.modem->Connected());
}

TEST(Connect, TheTraceHoldsExactlyThisCallsAnswerLines) {
  SimulatedWorld w;
  ASSERT_EQ(w.module->Connect(3), rvTrue);
  EXPECT_EQ(w.module->TraceText(), "ATZ\r\nOK\r\n" + kDial + "\r\nCONNECT 9600\r\n");
  w.module->Disconnect();
  w.modem->Script().echo = false;
  w.modem->Script().dial_answers = {{"CONNECT 19200/ARQ"}};
  std::string live;
  w.module->TraceAppended = [&](const std::string& piece) { live += piece; };
  ASSERT_EQ(w.module->Connect(3), rvTrue);
  // "ATZ" is still echoed: the modem turns its echo off only once it has it.
  EXPECT_EQ(w.module->TraceText(), "ATZ\r\nOK\r\nCONNECT 19200/ARQ\r\n");
  EXPECT_EQ(live, w.module->TraceText());
}

TEST(Connect, FourUnansweredDialsTakeFourMinutesOfVirtualTimeOnly) {
  sim::ModemScript silent;
  silent.dial_answers = {{}};
  SimulatedWorld w(silent);
  const auto real_start = std::chrono::steady_clock::now();
  EXPECT_EQ(w.module->Connect(3), rvFalse);
  const auto real = std::chrono::steady_clock::now() - real_start;
  EXPECT_EQ(w.modem->DialAttempts(), 4);
  EXPECT_GE(w.NowMs(), 4 * 60000 + 1000);
  EXPECT_LT(w.NowMs(), 4 * 60000 + 1000 + 100);
  EXPECT_LT(real, seconds(1));
}

TEST(Connect, BusyExtendsTheDialWaitInsteadOfStartingAnotherAttempt) {
  struct Case {
    const char* first;
    int connect_after_s;  // counted from the dial, which goes out at 1 s
    ReturnValues result;
    int dials;
    int second_busy_after_s = 0;
  };
  const Case cases[] = {
      {"BUSY", 100, rvTrue, 1},  // past the attempt's 60 s, inside the 105 s extension
      {"DELAYED 5", 100, rvTrue, 1},
      {"BUSY", 110, rvFalse, 2},  // the extension ran out first: a second, silent dial
      // A second BUSY, before the first extension's minute began, starts
      // 105 s afresh; it does not add a minute.
      {"BUSY", 120, rvTrue, 1, 20},
      {"BUSY", 130, rvFalse, 2, 20},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.first) + " " + std::to_string(c.connect_after_s));
    sim::ModemScript script;
    script.dial_answers = {{c.first}, {}};
    SimulatedWorld w(script);
    const auto first_dial = [&] { return w.modem->DialAttempts() == 1; };
    if (c.second_busy_after_s > 0)
      w.clock->ScheduleAfter(seconds(1 + c.second_busy_after_s), [&] {
        if (first_dial()) w.port->SendToHost("\r\nBUSY\r\n");
      });
    w.clock->ScheduleAfter(seconds(1 + c.connect_after_s), [&] {
      if (first_dial()) w.port->SendToHost("\r\nCONNECT 9600\r\n");
    });
    EXPECT_EQ(w.module->Connect(0), c.result);
    EXPECT_EQ(w.modem->DialAttempts(), c.dials);
  }
}

TEST(Connect, ModemWithoutCtsFailsAtOnceAndClosesThePort) {
  SimulatedWorld w;
  w.modem->HoldCts(false);
  EXPECT_EQ(w.module->Connect(3), rvCTS);
  EXPECT_EQ(w.module->ErrorDescription(), "ATZ - Le modem ne répond pas");
  EXPECT_TRUE(w.modem->Commands().empty());
  EXPECT_FALSE(w.port->PortOpen());
  EXPECT_LT(w.NowMs(), 10);
}

TEST(Connect, CtsLostDuringOrBetweenDialAttempts) {
  // Lost while the first dial waits for its answer; lost once the first dial
  // was answered NO CARRIER: every attempt checks CTS before it writes.
  for (const bool between : {false, true}) {
    sim::ModemScript script;
    script.dial_answers = {{between ? "NO CARRIER" : ""}};
    SimulatedWorld w(script);
    if (between) {
      w.module->TraceAppended = [&](const std::string& line) {
        if (line == "NO CARRIER\r\n") w.modem->HoldCts(false);
      };
    } else {
      w.clock->ScheduleAfter(seconds(20), [&] { w.modem->HoldCts(false); });
    }
    EXPECT_EQ(w.module->Connect(3), rvCTS);
    EXPECT_EQ(w.module->ErrorDescription(),
              between ? "Le modem ne répond pas" : "Le modem ne repond plus");
    EXPECT_EQ(w.modem->DialAttempts(), 1);
    EXPECT_FALSE(w.port->PortOpen());
  }
}

TEST(Connect, APortInUseRaisesConnexionImpossibleWithAnEmptyRecord) {
  SimulatedWorld w;
  w.port->RefuseOpen(true);
  std::vector<std::string> events;
  std::string held;
  w.module->Error = [&](std::string& text) {
    events.push_back(text);
    held = w.module->ErrorDescription();
  };
  EXPECT_EQ(w.module->Connect(3), rvFalse);
  EXPECT_EQ(events, (std::vector<std::string>{"Connexion impossible"}));
  EXPECT_NE(held.find("déjà utilisé"), std::string::npos);
  EXPECT_EQ(w.module->ErrorSource(), "");
  EXPECT_EQ(w.module->ErrorDescription(), "");
  EXPECT_FALSE(w.port->PortOpen());
}

TEST(Connect, ASecondConnectWithoutDisconnectFailsAndKeepsTheLine) {
  SimulatedWorld w;
  ASSERT_EQ(w.module->Connect(3), rvTrue);
  std::vector<std::string> events;
  w.module->Error = [&](std::string& text) { events.push_back(text); };
  EXPECT_EQ(w.module->Connect(3), rvFalse);
  EXPECT_EQ(events, (std::vector<std::string>{"Connexion impossible"}));
  EXPECT_TRUE(w.port->PortOpen());
  EXPECT_TRUE(w.modem->Connected());
  EXPECT_EQ(ModuleXmodemInspector::Of(*w.module).ModemMode, mmvCommande);
  EXPECT_EQ(w.module->ErrorDescription(), "");
  w.module->Disconnect();
  EXPECT_FALSE(w.port->PortOpen());
}

TEST(Disconnect, DropsDtrPausesAndCloses) {
  SimulatedWorld w;
  ASSERT_EQ(w.module->Connect(3), rvTrue);
  const long long start = w.NowMs();
  w.module->Disconnect();
  EXPECT_EQ(w.NowMs() - start, 1500);
  EXPECT_FALSE(w.port->DTREnable()) << "the hang-up is the drop of DTR";
  EXPECT_FALSE(w.port->PortOpen());
  EXPECT_FALSE(w.modem->Connected());
  EXPECT_EQ(w.modem->HangUps(), 1);
  EXPECT_EQ(ModuleXmodemInspector::Of(*w.module).ModemMode, mmvCommande);
  // The modem is back in command mode: the next call connects again.
  EXPECT_EQ(w.module->Connect(3), rvTrue);
  EXPECT_EQ(w.modem->DialAttempts(), 2);
}

TEST(Disconnect, WithThePortClosedOnlyWaitsASecond) {
  SimulatedWorld w;
  const long long yields_before = w.yields;
  w.module->Disconnect();
  EXPECT_EQ(w.NowMs(), 1000);
  EXPECT_GT(w.yields, yields_before);
  EXPECT_EQ(w.port->OpenCount(), 0);
}

}  // namespace
}  // namespace xmodemquarvel
