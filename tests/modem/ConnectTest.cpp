// Connect and Disconnect against the simulated modem on the virtual clock:
// every outcome with its result, record, line state, mode and timing; and the
// modem's answer lines as the dialogue reads them.
#include <gtest/gtest.h>

#include <algorithm>

#include "modem/AnswerLine.h"
#include "modem/ServerNumber.h"
#include "support/Inspector.h"
#include "support/SimulatedWorld.h"

namespace xmodemquarvel {
namespace {

using std::chrono::seconds, testing::SimulatedWorld;

const std::string kNumber = kServerNumber;
const std::string kDial = "ATDT" + kNumber;
constexpr char kTimeOut[] = "Le modem n'a pas répondu dans le délai imparti";
constexpr char kResetTimeOut[] = "ATZ - Le modem n'a pas répondu dans le délai imparti";

struct Row {
  const char* what;
  sim::ModemScript script;
  int tentatives;
  const char* init;
  ReturnValues result;
  const char* description;  // nullptr: Connect's trap ("Connexion impossible", empty record)
  bool port_open;
  std::string counted;  // the command counted, and how many times it went out
  int times;
  long long ms;  // virtual time taken
  std::function<void(SimulatedWorld&)> arrange = nullptr;
};

TEST(Connect, EveryOutcomeLeavesItsResultRecordPortModeAndTime) {
  const auto no_cts = [](SimulatedWorld& w) { w.modem->HoldCts(false); };
  const auto cts_lost_at_20s = [](SimulatedWorld& w) {
    w.clock->ScheduleAfter(seconds(20), [&w] { w.modem->HoldCts(false); });
  };
  const auto cts_lost_after_no_carrier = [](SimulatedWorld& w) {
    w.module->TraceAppended = [&w](const std::string& line) {
      if (line == "NO CARRIER\r\n") w.modem->HoldCts(false);
    };
  };
  const auto connected = [](SimulatedWorld& w) { ASSERT_EQ(w.module->Connect(3), rvTrue); };
  // During the first dial (it goes out at 1 s): a second BUSY after `busy_s`
  // seconds, if any, and CONNECT after `connect_s`.
  const auto later = [](int busy_s, int connect_s) {
    return [=](SimulatedWorld& w) {
      for (const auto& [at, line] :
           {std::pair{busy_s, "\r\nBUSY\r\n"}, {connect_s, "\r\nCONNECT\r\n"}})
        if (at > 0)
          w.clock->ScheduleAfter(seconds(1 + at), [&w, line = line] {
            if (w.modem->DialAttempts() == 1) w.port->SendToHost(line);
          });
    };
  };
  // BUSY every 20 s, from the first dial (at 1 s) on, past the end of the call.
  const auto busy_for_ever = [](SimulatedWorld& w) {
    for (int at = 21; at < 1300; at += 20)
      w.clock->ScheduleAfter(seconds(at), [&w] { w.port->SendToHost("\r\nBUSY\r\n"); });
  };
  // clang-format off
  const Row rows[] = {
      {"connected with echo", {}, 3, "", rvTrue, "", true, kDial, 1, 1000},
      {"connected without echo", {.echo = false}, 3, "", rvTrue, "", true, kDial, 1, 1000},
      {"leftover input discarded", {.leftover = "\r\nERROR\r\nNO CARRIER\r\n"}, 3, "", rvTrue, "", true, "ATZ", 1, 1000},
      {"information lines read past", {.dial_answers = {{"RINGING", "RINGING", "CONNECT"}}}, 3, "", rvTrue, "", true, kDial, 1, 1000},
      {"no carrier then connect", {.dial_answers = {{"NO CARRIER"}, {"CONNECT 2400"}}}, 3, "", rvTrue, "", true, kDial, 2, 1000},
      {"no carrier on every dial", {.dial_answers = {{"NO CARRIER"}}}, 3, "", rvFalse, "NO CARRIER", false, kDial, 4, 1000},
      {"no answer on every dial", {.dial_answers = {{"NO ANSWER"}}}, 2, "", rvFalse, "NO ANSWER", false, kDial, 3, 1000},
      {"zero attempts count as one", {.dial_answers = {{"NO CARRIER"}}}, 0, "", rvFalse, "NO CARRIER", false, kDial, 2, 1000},
      {"negative attempts count as one", {.dial_answers = {{"NO CARRIER"}}}, -7, "", rvFalse, "NO CARRIER", false, kDial, 2, 1000},
      {"no dial tone", {.dial_answers = {{"NO DIALTONE"}}}, 3, "", rvCTS, "Pas de tonalité", false, kDial, 1, 1000},
      {"blacklisted", {.dial_answers = {{"BLACKLISTED"}}}, 3, "", rvCTS, "Black Liste - Appel interdit", false, kDial, 1, 1000},
      {"error on the dial", {.dial_answers = {{"ERROR"}}}, 3, "", rvCTS, "ERROR", false, kDial, 1, 1000},
      {"silence after every dial", {.dial_answers = {{}}}, 3, "", rvFalse, kTimeOut, false, kDial, 4, 1000 + 4 * 60000},
      {"reset never answered", {.command_answers = {{"ATZ", {}}}}, 3, "", rvFalse, kResetTimeOut, false, "ATZ", 4, 4 * 2000},
      {"reset answered in lower case", {.command_answers = {{"ATZ", {"ok"}}}}, 1, "", rvFalse, kResetTimeOut, false, "ATZ", 2, 2 * 2000},
      {"reset refused", {.command_answers = {{"ATZ", {"ERROR"}}}}, 3, "", rvCTS, "ATZ - ERROR", false, "ATZ", 1, 0},
      {"unexpected connect on the reset", {.command_answers = {{"ATZ", {"CONNECT"}}}}, 3, "", rvFalse, "ATZ - NO CARRIER", false, "ATZ", 4, 0},
      {"init string never answered", {.command_answers = {{"AT&F&C1", {}}}}, 3, "AT&F&C1", rvFalse, "Erreur dans la chaine d'initialisation AT&F&C1", true, "AT&F&C1", 4, 1000 + 4 * 2000},
      {"init string refused", {.refused_commands = {"AT&F&C1"}}, 3, "AT&F&C1", rvCTS, "Erreur dans la chaine d'initialisation AT&F&C1", true, "AT&F&C1", 1, 1000},
      {"modem without CTS", {}, 3, "", rvCTS, "ATZ - Le modem ne répond pas", false, "ATZ", 0, 0, no_cts},
      {"CTS lost during a dial", {.dial_answers = {{}}}, 3, "", rvCTS, "Le modem ne repond plus", false, kDial, 1, 20000, cts_lost_at_20s},
      {"CTS lost between dials", {.dial_answers = {{"NO CARRIER"}}}, 3, "", rvCTS, "Le modem ne répond pas", false, kDial, 1, 1000, cts_lost_after_no_carrier},
      {"connected already", {}, 3, "", rvFalse, nullptr, true, kDial, 1, 0, connected},
      // BUSY or DELAYED extends the dial's wait to 105 s from the answer; a second
      // BUSY starts the 105 s afresh, it does not add a minute.
      {"busy, connect at 100 s", {.dial_answers = {{"BUSY"}, {}}}, 0, "", rvTrue, "", true, kDial, 1, 101000, later(0, 100)},
      {"delayed, connect at 100 s", {.dial_answers = {{"DELAYED 5"}, {}}}, 0, "", rvTrue, "", true, kDial, 1, 101000, later(0, 100)},
      {"busy, too late at 110 s", {.dial_answers = {{"BUSY"}, {}}}, 0, "", rvFalse, kTimeOut, false, kDial, 2, 1000 + 105000 + 60000, later(0, 110)},
      {"busy twice, connect at 120 s", {.dial_answers = {{"BUSY"}, {}}}, 0, "", rvTrue, "", true, kDial, 1, 121000, later(20, 120)},
      {"busy twice, too late at 130 s", {.dial_answers = {{"BUSY"}, {}}}, 0, "", rvFalse, kTimeOut, false, kDial, 2, 1000 + 20000 + 105000 + 60000, later(20, 130)},
      // Extensions stop once the dial has lasted 15 minutes: the last, at
      // 880 s, runs to 985 s; the three other attempts wait their 60 s.
      {"busy every 20 s for ever", {.dial_answers = {{}}}, 3, "", rvFalse, kTimeOut, false, kDial, 4, 1000 + 985000 + 3 * 60000, busy_for_ever},
  };
  // clang-format on
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    SimulatedWorld w(r.script);
    if (r.arrange) r.arrange(w);
    const long long start = w.NowMs();
    EXPECT_EQ(w.module->Connect(r.tentatives, "", r.init), r.result);
    EXPECT_EQ(w.NowMs() - start, r.ms);
    EXPECT_EQ(w.port->PortOpen(), r.port_open);
    EXPECT_EQ(ModuleXmodemInspector::Of(*w.module).connection.ModemMode,
              r.result == rvTrue ? mmvConnecté : mmvCommande);
    EXPECT_EQ(std::count(w.modem->Commands().begin(), w.modem->Commands().end(), r.counted),
              r.times);
    if (r.description != nullptr) {
      EXPECT_EQ(w.module->ErrorSource(), "Xmodem: Connect");
      EXPECT_EQ(w.module->ErrorDescription(), r.description);
      EXPECT_TRUE(w.errors.empty());
    } else {
      // While the event ran, the record held the serial layer's reason.
      ASSERT_EQ(w.errors.size(), 1u);
      EXPECT_EQ(w.errors[0].text, "Connexion impossible");
      EXPECT_NE(w.errors[0].description_during, "");
      EXPECT_EQ(w.module->ErrorSource() + w.module->ErrorDescription(), "");
      EXPECT_EQ(w.modem->Connected(), r.port_open) << "a call up stays up";
    }
  }
}

TEST(Connect, PreparesThePortAndWritesResetInitAndDialWithThePrefix) {
  SimulatedWorld w;
  // Whatever the port held before, Connect sets what the dialogue relies on.
  w.port->Break(true);
  w.port->RThreshold(5);
  w.port->InputLen(0);
  ASSERT_EQ(w.module->Connect(3, "0", "ATM0"), rvTrue);
  EXPECT_EQ(w.port->HostWrote(), "ATZ\r\nATM0\r\nATDT0," + kNumber + "\r\n");
  EXPECT_FALSE(w.port->BreakOn());
  EXPECT_EQ(w.port->RThresholdValue(), 0);
  EXPECT_EQ(w.port->InputLenValue(), 1);
  EXPECT_TRUE(w.port->DTREnable());
  // The trace holds exactly this call's answer lines, as received.
  EXPECT_EQ(w.module->TraceText(),
            "ATZ\r\nOK\r\nATM0\r\nOK\r\nATDT0," + kNumber + "\r\nCONNECT 9600\r\n");

  // Disconnect drops DTR (the hang-up), pauses 500 ms, closes, pauses 1 s.
  long long start = w.NowMs();
  w.module->Disconnect();
  EXPECT_EQ(w.NowMs() - start, 1500);
  EXPECT_FALSE(w.port->DTREnable());
  EXPECT_FALSE(w.port->PortOpen() || w.modem->Connected());
  EXPECT_EQ(w.modem->HangUps(), 1);
  EXPECT_EQ(ModuleXmodemInspector::Of(*w.module).connection.ModemMode, mmvCommande);
  // With the port closed it only waits its second, handing over meanwhile.
  const long long yields = w.yields;
  start = w.NowMs();
  w.module->Disconnect();
  EXPECT_EQ(w.NowMs() - start, 1000);
  EXPECT_GT(w.yields, yields);

  // The next call connects again; the trace holds only its lines.
  w.modem->Script().echo = false;
  w.modem->Script().dial_answers = {{"CONNECT 19200/ARQ"}};
  std::string live;
  w.module->TraceAppended = [&](const std::string& piece) { live += piece; };
  ASSERT_EQ(w.module->Connect(3), rvTrue);
  // "ATZ" is still echoed: the modem turns its echo off only once it has it.
  EXPECT_EQ(w.module->TraceText(), "ATZ\r\nOK\r\nCONNECT 19200/ARQ\r\n");
  EXPECT_EQ(live, w.module->TraceText());
  EXPECT_EQ(w.port->OpenCount(), 2);
  // Destroyed with the call up, it hangs up as Disconnect does.
  w.module.reset();
  EXPECT_EQ(w.modem->HangUps(), 2);
}

// The lines the bytes make, each shortened as the dialogue compares it.
std::vector<std::string> Lines(const std::string& bytes) {
  std::vector<std::string> lines;
  std::string line;
  for (char c : bytes) {
    if (!AnswerLine::Take(line, static_cast<std::uint8_t>(c))) continue;
    AnswerLine::Shorten(line);
    lines.push_back(std::exchange(line, ""));
  }
  return lines;
}

TEST(AnswerLine, FiltersAndShortensWhatTheModemSends) {
  // clang-format off
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"ATZ\r\r\nOK\r\n", {"ATZ", "OK"}},  // echo, then the answer
      {"\r\nOK\r\n", {"OK"}},              // no echo: the first LF finds nothing
      {"\n\n\nOK\n", {"OK"}},
      {"O\x01K\x1F\r\n", {"OK"}},          // control codes dropped
      {"\xCF\xCB\r\n", {"OK"}},            // parity bit set: 0xCF is 'O' | 0x80
      {"\x8A", {}},                        // an LF with its high bit ends nothing here,
      {"a\x8A", {"a"}},                    // but ends a line that holds something
      {"\x7F\r\n", {"\x7F"}},              // DEL is kept
      {"OK", {}},                          // no LF yet
      {"CONNECT 9600/ARQ\nCONNECT\nDELAYED 30\nCONNEC\nconnect 9600\n",
       {"CONNECT", "CONNECT", "DELAYED", "CONNEC", "connect 9600"}},
      // Nothing but the time-out bounds a line: past the cap the rest is dropped.
      {std::string(10000, 'x') + "\n", {std::string(AnswerLine::kMaxLength, 'x')}},
  };
  // clang-format on
  for (const auto& [bytes, lines] : cases) EXPECT_EQ(Lines(bytes), lines) << bytes.substr(0, 80);
}

}  // namespace
}  // namespace xmodemquarvel
