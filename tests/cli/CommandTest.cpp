#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include <gtest/gtest.h>

#include "CommandTable.h"
#include "Commands.h"
#include "PackedFileCheck.h"
#include "Processes.h"
#include "Progress.h"
#include "Session.h"
#include "sim/SimulatedModem.h"
#include "sim/SimulatedSerialPort.h"
#include "sim/SimulatedServer.h"

namespace xmodemq::test {
namespace {

namespace sim = xmodemquarvel::sim;
using xmodemquarvel::rvFalse;
using xmodemquarvel::rvTrue;

TEST(Command, EachRunEndsAsTheUserMustFindIt) {
  std::vector<Row> rows;
  for (auto group : {CallRows, UsageRows, FileRows, JournalRows, CueRows}) {
    std::vector<Row> more = group();
    rows.insert(rows.end(), std::make_move_iterator(more.begin()),
                std::make_move_iterator(more.end()));
  }
  RunTable(std::move(rows));
}

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

TEST(Command, TheStatusLineFollowsTheModemWithTheTimeLeft) {
  // clang-format off
  const std::vector<Dial> rows = {
      // The dial goes out after the pause of 1 s that follows the reset.
      {"no answer at all", {{}}, 0s, 0, rvFalse, {"Initialisation du modem…\r\033[KAppel du serveur… réponse attendue sous 1 min 01 s", "sous 59 s", "sous 1 s", "Appel sans réponse, nouvel essai (2 sur 2)… sous 1 min 00 s", "Xmodem: Connect: Le modem n'a pas répondu dans le délai imparti", "xmodemq: le modem n'a rien répondu à l'appel"}},
      // Narrower, the wording shortens and the countdown stays.
      {"no answer, in 40 columns", {{}}, 0s, 0, rvFalse, {"Appel du serveur… sous 1 min 01 s", "Nouvel essai (2 sur 2)… sous 1 min 00 s", "sous 1 s"}, 40},
      {"no answer, in 20 columns", {{}}, 0s, 0, rvFalse, {"Appel… 1 min 01 s", "2/2… 1 min 00 s", "2/2… 1 s"}, 20},
      {"busy, in 30 columns", {{"BUSY"}}, 10s, 0, rvFalse, {"BUSY : encore 1 min 45 s", "BUSY : encore 1 s"}, 30},
      {"busy, then nothing", {{"BUSY"}}, 10s, 0, rvFalse, {"réponse attendue sous 51 s", "Ligne occupée (BUSY) : le modem attend encore 1 min 45 s", "attend encore 1 s", "Appel sans réponse, nouvel essai (2 sur 2)", "xmodemq: dernière réponse du modem à l'appel : « BUSY »"}},
      // With an initialisation string the dial follows its OK at once.
      {"an information line, delayed, then connected", {{"RINGING", "DELAYED 2", "CONNECT 9600"}}, 20s, 3, rvTrue, {"Initialisation du modem…\r\033[KAppel du serveur… réponse attendue sous 1 min 00 s", "Appel différé (DELAYED) : le modem attend encore 1 min 45 s", "attend encore 1 min 26 s", "Connecté (CONNECT 9600)."}, 80, "AT&F"},
      {"no carrier, then connected", {{"NO CARRIER"}, {"CONNECT 9600"}}, 0s, 1, rvTrue, {"« NO CARRIER », nouvel essai (2 sur 2)… sous 1 min 00 s", "Connecté (CONNECT 9600)."}},
  };
  // clang-format on
  for (const Dial& row : rows) {
    SCOPED_TRACE(row.what);
    auto clock = std::make_shared<xmodemquarvel::VirtualClock>();
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
      Options options;
      options.attempts = row.attempts;
      options.init = row.init;
      Session session(options, {clock, std::move(port), out, true, [&row] { return row.columns; }});
      EXPECT_EQ(session.Connect(), row.result);
      if (row.result != rvTrue) session.ReportFailure();
    }
    std::fclose(out);
    const std::string screen(text, size);
    std::free(text);
    Said(screen, row.shown);
    for (const std::string& line : ScreenLines(screen)) {
      if (line.rfind("Xmodem:", 0) != 0 && line.rfind("xmodemq:", 0) != 0) {
        EXPECT_LT(Width(line), row.columns) << line;
      }
    }
  }
}

// The far end of an in-process line that raises a signal in the command the
// moment the server has had the last acknowledgement of its `after`-th
// transfer: after the transfer ended well, before the command has seen it.
class LateSignal final : public sim::LinePeer {
 public:
  LateSignal(sim::SimulatedServer& server, std::size_t after, int signo)
      : server_(server), after_(after), signo_(signo) {}
  void OnHostBytes(std::string_view bytes) override {
    server_.OnHostBytes(bytes);
    const auto& done = server_.Transfers();
    if (!raised_ && std::count_if(done.begin(), done.end(), [](const auto& t) {
                      return t.completed;
                    }) == static_cast<std::ptrdiff_t>(after_)) {
      raised_ = true;
      ::raise(signo_);
    }
  }
  void OnDtr(bool on) override { server_.OnDtr(on); }
  void OnPortOpen(bool open) override { server_.OnPortOpen(open); }
  void OnCarrier(bool up) override { server_.OnCarrier(up); }

 private:
  sim::SimulatedServer& server_;
  std::size_t after_;
  int signo_;
  bool raised_ = false;
};

// Transfers on the virtual clock, where the server and the moment of a signal
// are set exactly: a signal once a transfer ended well, a server that resumes
// elsewhere than asked.
TEST(Command, InProcessTheCommandKeepsWhatMovedAndSaysWhatTheServerDid) {
  struct Late {
    std::string what;
    Command command;
    std::vector<std::string> names;
    // Raised once `after` transfers ended well; none when 0.
    int signo;
    std::size_t after;
    int status;
    // The files that end in place: received, or held by the server.
    std::size_t kept;
    std::vector<std::string> said;
    // A receive resumed after 20 blocks that the server answers here.
    std::optional<std::int64_t> resumed_at = {};
  };
  // clang-format off
  const std::vector<Late> rows = {
      {"a receive, Ctrl-C once it ended", Command::Receive, {"F1.TXT"}, SIGINT, 1, 0, 1, {"F1.TXT reçu : 60 blocs", "xmodemq: Ctrl-C reçu après la fin du transfert de ", "F1.TXT, qui est gardé.", "!Interrompu", "!relancez"}},
      {"two receives, SIGTERM once the first ended", Command::Receive, {"F1.TXT", "F2.TXT"}, SIGTERM, 1, 143, 1, {"F1.TXT reçu", "SIGTERM reçu après la fin du transfert de ", "la suite n'est pas transférée : 1 fichier sur 2 transféré : "}},
      {"a send, SIGHUP once it ended", Command::Send, {"F1.TXT"}, SIGHUP, 1, 0, 1, {"F1.TXT envoyé : 60 blocs", "SIGHUP, terminal fermé reçu après la fin du transfert"}},
      {"a receive resumed from the start", Command::Receive, {"F1.TXT"}, 0, 0, 0, 1, {"Reprise après les 20 blocs", "Le serveur ne reprend pas la réception interrompue : le fichier est reçu de nouveau en entier, à la place des 20 blocs gardés.", "F1.TXT reçu : 60 blocs"}, 0},
      {"a receive resumed earlier than asked", Command::Receive, {"F1.TXT"}, 0, 0, 0, 1, {"Le serveur reprend après le bloc 1, et non après les 20 blocs gardés", "F1.TXT reçu (repris après 1 blocs) : 59 blocs"}, 1},
      {"a receive resumed as asked", Command::Receive, {"F1.TXT"}, 0, 0, 0, 1, {"!Le serveur", "F1.TXT reçu (repris après 20 blocs) : 40 blocs"}, 20},
  };
  // clang-format on
  for (const Late& row : rows) {
    SCOPED_TRACE(row.what);
    TempDir dir;
    auto clock = std::make_shared<xmodemquarvel::VirtualClock>();
    auto port = std::make_unique<sim::SimulatedSerialPort>(clock);
    sim::SimulatedModem modem(*port);
    sim::SimulatedServer server(*port);
    LateSignal late(server, row.after, row.signo);
    if (row.signo != 0)
      modem.AttachServer(&late);
    else
      modem.AttachServer(&server);
    if (row.resumed_at) {
      server.Script().receive_position = row.resumed_at;
      MakeTree(dir.path(), {{kPartial + "F1.TXT", kBill.substr(0, 20 * 128)},
                            {kPartial + ".origine/F1.TXT", Origin("PS0001")}});
    }
    port->AttachPeer(&modem);
    Options options;
    options.user = "PS0001";
    for (const std::string& name : row.names) {
      const std::string path = (dir.path() / name).string();
      options.operands.push_back(path);
      if (row.command == Command::Send)
        WriteFile(path, kBill);
      else
        server.PutFile(name.substr(0, name.find('.')), kBill);
    }
    ::setenv("XMODEMQ_PASSWORD", kSecret, 1);
    ::setenv("TMPDIR", dir.path().c_str(), 1);
    ::setenv("XMODEMQ_JOURNAL", (dir / "journal.sqlite").c_str(), 1);
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = ::open_memstream(&text, &size);
    SessionHost host{clock, std::move(port), out, false, {}};
    const int status = row.command == Command::Send ? RunSend(options, std::move(host))
                                                    : RunReceive(options, std::move(host));
    std::fclose(out);
    const std::string said(text, size);
    std::free(text);
    ::unsetenv("XMODEMQ_PASSWORD");
    ::unsetenv("TMPDIR");
    ::unsetenv("XMODEMQ_JOURNAL");
    EXPECT_EQ(status, row.status) << said;
    Said(said, row.said);
    for (std::size_t i = 0; i < row.names.size(); ++i) {
      const std::string& name = row.names[i];
      const auto held = row.command == Command::Send
                            ? server.File(name.substr(0, name.find('.'))).value_or("")
                            : ReadFile(dir.path() / name);
      EXPECT_EQ(held, i < row.kept ? kBill : "") << name;
    }
  }
}

// Whatever this packer writes, unpack takes without a refusal nor a warning.
TEST(Command, EveryFileThePackerWritesPassesUnpacksChecks) {
  TempDir dir;
  const std::string bill = BillingRecords(40, 3);
  std::string bytes;
  for (int i = 0; i < 40 * 128; ++i) bytes.push_back(static_cast<char>(i * 7919 % 251));
  for (const std::string& source :
       {std::string(), std::string(1, 'x'), bill.substr(0, 127), bill.substr(0, 128),
        bill.substr(0, 129), bill, bill.substr(0, 35 * 128 + 77), bytes, std::string(5000, ' '),
        std::string(5000, '7'), std::string(5000, '\xFA')}) {
    const std::string packed = Packed(source);
    WriteFile(dir / "p", packed);
    WriteFile(dir / "u", source + std::string((128 - source.size() % 128) % 128, ' '));
    const int p = ::open((dir / "p").c_str(), O_RDONLY | O_CLOEXEC);
    const int u = ::open((dir / "u").c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(NotPacked(p, static_cast<int64_t>(packed.size())), std::nullopt) << source.size();
    // One block is an empty file's, which unpacks to a block of its own.
    if (packed.size() > 128) {
      EXPECT_TRUE(RepacksTheSame(p, u)) << source.size();
    }
    ::close(p);
    ::close(u);
  }
}

TEST(Command, ProgressInLinesComesOncePerSecond) {
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* out = ::open_memstream(&text, &size);
  {
    auto clock = std::make_shared<xmodemquarvel::VirtualClock>();
    xmodemq::Progress progress(out, ProgressMode::Lines, "Réception", 4, {}, clock);
    progress.Block(1);
    clock->Advance(999ms);
    progress.Block(2);
    clock->Advance(1ms);
    progress.Block(3);
    progress.Finish();
  }
  std::fclose(out);
  const std::string lines(text, size);
  std::free(text);
  // The first block, the first a second after it, the end.
  EXPECT_EQ(Count(lines, "\n"), 3u) << lines;
  EXPECT_EQ(Count(lines, "bloc 2/4"), 0u) << lines;
  EXPECT_EQ(Count(lines, "bloc 3/4, 384 o/s, reste 0 s\n"), 1u) << lines;
}

// While the component waits, the progress line tells what for, the attempt
// and the time left, once a wait has gone a second without a block or from
// its second attempt; plain lines get one line an attempt.
TEST(Command, ProgressDuringAWaitTellsTheAttemptAndTheTimeLeft) {
  using Awaiting = xmodemquarvel::WaitState::Awaiting;
  const auto wait = [](int32_t attempt, std::chrono::milliseconds left) {
    xmodemquarvel::WaitState w;
    w.awaiting = Awaiting::kServer;
    w.sent = attempt > 1 ? "NAK" : "ACK";
    w.expected = "trame 13 ou EOT";
    w.attempt = attempt;
    w.attempts = 10;
    w.remaining = left;
    return w;
  };
  for (const std::size_t columns : {std::size_t{100}, std::size_t{40}, std::size_t{20}}) {
    SCOPED_TRACE(columns);
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = ::open_memstream(&text, &size);
    auto clock = std::make_shared<xmodemquarvel::VirtualClock>();
    std::vector<std::string> drawn;
    {
      xmodemq::Progress progress(
          out, ProgressMode::Bar, "Réception", 40, [&] { return columns; }, clock);
      const auto last_line = [&] {
        std::fflush(out);
        return ScreenLines(std::string(text, size)).back();
      };
      progress.Block(12);
      clock->Advance(500ms);
      progress.Waiting(wait(1, 9500ms));  // half a second: not yet
      drawn.push_back(last_line());
      clock->Advance(1s);
      progress.Waiting(wait(1, 8500ms));
      drawn.push_back(last_line());
      clock->Advance(100ms);
      progress.Waiting(wait(1, 8400ms));  // the same second: no redraw
      drawn.push_back(last_line());
      progress.Waiting(wait(3, 10000ms));
      drawn.push_back(last_line());
      progress.Block(13);
      drawn.push_back(last_line());
    }
    std::fclose(out);
    std::free(text);
    EXPECT_EQ(drawn[0].find("tentative"), std::string::npos) << drawn[0];
    EXPECT_EQ(drawn[1], drawn[2]);
    if (columns == 100) {
      EXPECT_NE(drawn[1].find("bloc 12/40, attend trame 13 ou EOT (tentative 1/10, encore 9 s)"),
                std::string::npos)
          << drawn[1];
    }
    // At any width: the attempt and the time left, never past the width.
    EXPECT_NE(drawn[3].find("3/10"), std::string::npos) << drawn[3];
    EXPECT_NE(drawn[3].find("10 s"), std::string::npos) << drawn[3];
    for (const std::string& line : drawn) EXPECT_LT(Width(line), columns) << line;
    EXPECT_EQ(drawn[4].find("3/10"), std::string::npos) << "a block ends the wait: " << drawn[4];
    EXPECT_NE(drawn[4].find(columns >= 40 ? "bloc 13/40" : "13/40"), std::string::npos) << drawn[4];
  }
  // Plain lines: one for each attempt from the second.
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* out = ::open_memstream(&text, &size);
  {
    auto clock = std::make_shared<xmodemquarvel::VirtualClock>();
    xmodemq::Progress progress(out, ProgressMode::Lines, "Réception", 40, {}, clock);
    progress.Block(12);
    clock->Advance(5s);
    for (const int32_t attempt : {1, 2, 2, 3}) progress.Waiting(wait(attempt, 5000ms));
  }
  std::fclose(out);
  const std::string lines(text, size);
  std::free(text);
  EXPECT_EQ(Count(lines, "\n"), 3u) << lines;
  EXPECT_EQ(Count(lines, "bloc 12/40, attend trame 13 ou EOT (tentative 2/10)\n"), 1u) << lines;
  EXPECT_EQ(Count(lines, "(tentative 3/10)\n"), 1u) << lines;
}

// A window narrowed under a redrawn line: the line, drawn one column short of
// the old width, now wraps onto more rows; its redraw goes back up over all of
// them and clears them, and never writes past the new width.
TEST(Command, ARedrawnLineClearsAllItTookAfterAResize) {
  // 0: one column narrower than the line drawn, which then takes two rows.
  for (const auto& [before, narrower] : {std::pair<std::size_t, std::size_t>{80, 40},
                                         {80, 20},
                                         {80, 79},
                                         {40, 80},
                                         {100, 33},
                                         {80, 0}}) {
    SCOPED_TRACE(std::to_string(before) + " then " + std::to_string(narrower));
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = ::open_memstream(&text, &size);
    std::size_t columns = before;
    auto clock = std::make_shared<xmodemquarvel::VirtualClock>();
    xmodemq::Progress progress(
        out, ProgressMode::Bar, "Envoi", 2000, [&] { return columns; }, clock);
    progress.Block(1000);
    std::fflush(out);
    const std::string first(text, size);
    const std::size_t drawn = Width(ScreenLines(first).back());
    EXPECT_LT(drawn, before);
    const std::size_t after = narrower != 0 ? narrower : drawn - 1;
    columns = after;
    clock->Advance(1s);
    progress.Block(1500);
    progress.Finish();
    std::fflush(out);
    const std::string later = std::string(text, size).substr(first.size());
    std::fclose(out);
    std::free(text);
    const std::size_t above = (drawn - 1) / after;
    const std::string clear =
        above == 0 ? "\r\033[K" : "\r\033[" + std::to_string(above) + "A\033[J";
    EXPECT_EQ(later.substr(0, clear.size()), clear) << later;
    for (const std::string& line : ScreenLines(later)) EXPECT_LT(Width(line), after) << line;
    EXPECT_NE(later.find("bloc 1500/2000"), std::string::npos) << later;
  }
}

}  // namespace
}  // namespace xmodemq::test
