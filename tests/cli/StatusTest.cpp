#include <cstdio>
#include <cstdlib>

#include <gtest/gtest.h>

#include "Processes.h"
#include "Session.h"
#include "sim/SimulatedModem.h"
#include "sim/SimulatedSerialPort.h"

namespace xmodemq::test {
namespace {

using xmodemquarvel::VirtualClock;
namespace sim = xmodemquarvel::sim;

// What a session shows on a terminal while its modem dials, on the virtual
// clock: a real time-out costs no real time.
struct Dial {
  std::string what;
  std::vector<std::vector<std::string>> answers;
  std::chrono::seconds answer_delay;
  int32_t attempts;
  xmodemquarvel::ReturnValues result;
  std::vector<std::string> shown;
  std::size_t columns = 80;
  std::string init = {};
};

TEST(Status, TheLineFollowsTheModemWithTheTimeLeft) {
  using xmodemquarvel::rvFalse;
  using xmodemquarvel::rvTrue;
  const std::vector<Dial> rows = {
      {"no answer at all",
       {{}},
       0s,
       0,
       rvFalse,
       // The dial goes out after the pause of 1 s that follows the reset.
       {"Initialisation du modem…\r\033[KAppel du serveur… réponse attendue sous 1 min 01 s",
        "sous 59 s", "sous 1 s", "Appel sans réponse, nouvel essai (2 sur 2)… sous 1 min 00 s",
        "Xmodem: Connect: Le modem n'a pas répondu dans le délai imparti",
        "xmodemq: le modem n'a rien répondu à l'appel"}},
      {"no answer, in 40 columns",
       {{}},
       0s,
       0,
       rvFalse,
       {"Appel du serveur… réponse attendue sou", "Appel sans réponse, nouvel essai (2 sur"},
       40},
      {"busy, then nothing",
       {{"BUSY"}},
       10s,
       0,
       rvFalse,
       {"réponse attendue sous 51 s", "Ligne occupée (BUSY) : le modem attend encore 1 min 45 s",
        "attend encore 1 s", "Appel sans réponse, nouvel essai (2 sur 2)",
        "xmodemq: dernière réponse du modem à l'appel : « BUSY »"}},
      {"delayed, then connected",
       {{"DELAYED 2", "CONNECT 9600"}},
       20s,
       3,
       rvTrue,
       // With an initialisation string the dial follows its OK at once.
       {"Initialisation du modem…\r\033[KAppel du serveur… réponse attendue sous 1 min 00 s",
        "Appel différé (DELAYED) : le modem attend encore 1 min 45 s", "attend encore 1 min 26 s",
        "Connecté (CONNECT 9600)."},
       80,
       "AT&F"},
      {"no carrier, then connected",
       {{"NO CARRIER"}, {"CONNECT 9600"}},
       0s,
       1,
       rvTrue,
       {"« NO CARRIER », nouvel essai (2 sur 2)… sous 1 min 00 s", "Connecté (CONNECT 9600)."}},
  };
  for (const Dial& row : rows) {
    SCOPED_TRACE(row.what);
    auto clock = std::make_shared<VirtualClock>();
    auto port = std::make_unique<sim::SimulatedSerialPort>(clock);
    sim::ModemScript script;
    script.dial_answers = row.answers;
    script.dial_delay = row.answer_delay;
    sim::SimulatedModem modem(*port, script);
    port->AttachPeer(&modem);
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = ::open_memstream(&text, &size);
    {
      SessionHost host;
      host.clock = clock;
      host.port = std::move(port);
      host.out = out;
      host.terminal = true;
      host.columns = [&row] { return row.columns; };
      Options options;
      options.attempts = row.attempts;
      options.init = row.init;
      Session session(options, std::move(host));
      EXPECT_EQ(session.Connect(), row.result);
      if (row.result != rvTrue) session.ReportFailure();
    }
    std::fclose(out);
    const std::string screen(text, size);
    std::free(text);
    for (const std::string& s : row.shown)
      EXPECT_NE(screen.find(s), std::string::npos) << s << "\n" << screen;
    for (const std::string& line : ScreenLines(screen)) {
      if (line.rfind("Xmodem:", 0) != 0 && line.rfind("xmodemq:", 0) != 0) {
        EXPECT_LT(Width(line), row.columns) << line;
      }
    }
  }
}

}  // namespace
}  // namespace xmodemq::test
