#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

#include <gtest/gtest.h>

#include "CommandTable.h"
#include "call/CallStatus.h"
#include "call/Session.h"
#include "commands/Commands.h"
#include "files/PackedFileCheck.h"
#include "platform/UniqueFd.h"
#include "protocol/ControlDigits.h"
#include "protocol/Frame.h"
#include "support/SimulatedWorld.h"
#include "terminal/Progress.h"

namespace xmodemq::test {
namespace {

namespace sim = xmodemquarvel::sim;
using xmodemquarvel::rvFalse;
using xmodemquarvel::rvTrue;
using xmodemquarvel::testing::SimulatedLine;

// All that a FILE* is given, as it goes.
struct Captured {
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* out = ::open_memstream(&text, &size);
  ~Captured() {
    std::fclose(out);
    std::free(text);
  }
  std::string Text() {
    std::fflush(out);
    return {text, size};
  }
};

// Each row of the table is a test of its own name (Rows/Table.EndsAsTheUserMustFindIt/
// AReceiveCutMidwayRunAgain); the rows that run start together.
class Table : public ::testing::TestWithParam<std::size_t> {
 protected:
  static void SetUpTestSuite() {
    std::vector<Row> chosen;
    const auto* suite = ::testing::UnitTest::GetInstance()->current_test_suite();
    for (int i = 0; i < suite->total_test_count(); ++i) {
      const auto* test = suite->GetTestInfo(i);
      const std::size_t index = std::stoul(test->value_param());
      Row row = AllRows()[index];
      if (!test->should_run() || (row.two_users && !Intruder())) continue;
      row.what = RowNames()[index];
      chosen.push_back(std::move(row));
    }
    run_ = std::make_unique<TableRun>(std::move(chosen));
  }
  static void TearDownTestSuite() { run_.reset(); }
  static inline std::unique_ptr<TableRun> run_;
};

TEST_P(Table, EndsAsTheUserMustFindIt) {
  if (AllRows()[GetParam()].two_users && !Intruder())
    GTEST_SKIP() << "needs root and a second user (useradd)";
  run_->Check(run_->Find(RowNames()[GetParam()]));
}

INSTANTIATE_TEST_SUITE_P(Rows, Table, ::testing::Range<std::size_t>(0, AllRows().size()),
                         [](const auto& info) { return RowNames()[info.param]; });

// A wait of the component for the server's next frame, at `attempt` of 10.
xmodemquarvel::WaitState Waiting(int32_t attempt, std::chrono::milliseconds left) {
  xmodemquarvel::WaitState w;
  w.awaiting = xmodemquarvel::WaitState::Awaiting::kServer;
  w.sent = attempt > 1 ? "NAK" : "ACK";
  w.expected = "trame 13 ou EOT";
  w.attempt = attempt;
  w.attempts = 10;
  w.remaining = left;
  return w;
}

// What a session shows on a terminal while its modem dials, on the virtual
// clock: a real time-out costs no real time.
TEST(Command, TheStatusLineFollowsTheModemWithTheTimeLeft) {
  const struct {
    std::string what;
    std::vector<std::vector<std::string>> answers;
    std::chrono::seconds answer_delay;
    int32_t attempts;
    xmodemquarvel::ReturnValues result;
    std::vector<std::string> shown;
    std::size_t columns = 80;
    std::string init = {};
  } rows[] = {
      // clang-format off
      // The countdown starts when the dial goes out, after the pause that follows the reset.
      {"no answer at all", {{}}, 0s, 0, rvFalse, {"Initialisation du modem…\r\033[KAppel du serveur… réponse attendue sous 1 min 00 s", "sous 59 s", "sous 1 s", "Appel sans réponse, nouvel essai (2 sur 2)… sous 1 min 00 s", "Xmodem: Connect: Le modem n'a pas répondu dans le délai imparti", "xmodemq: le modem n'a rien répondu à l'appel"}},
      // Narrower, the wording shortens and the countdown stays.
      {"no answer, in 40 columns", {{}}, 0s, 0, rvFalse, {"Appel du serveur… sous 1 min 00 s", "Nouvel essai (2 sur 2)… sous 1 min 00 s", "sous 1 s"}, 40},
      {"no answer, in 20 columns", {{}}, 0s, 0, rvFalse, {"Appel… 1 min 00 s", "2/2… 1 min 00 s", "2/2… 1 s"}, 20},
      {"busy, in 30 columns", {{"BUSY"}}, 10s, 0, rvFalse, {"BUSY : encore 1 min 45 s", "BUSY : encore 1 s"}, 30},
      {"busy, then nothing", {{"BUSY"}}, 10s, 0, rvFalse, {"réponse attendue sous 51 s", "Ligne occupée (BUSY) : le modem attend encore 1 min 45 s", "attend encore 1 s", "Ligne occupée (BUSY), nouvel essai (2 sur 2)", "xmodemq: la ligne du serveur est occupée (BUSY) : réessayez plus tard", "!sans réponse"}},
      // With an initialisation string the dial follows its OK at once.
      {"an information line, delayed, then connected", {{"RINGING", "DELAYED 2", "CONNECT 9600"}}, 20s, 3, rvTrue, {"Initialisation du modem…\r\033[KAppel du serveur… réponse attendue sous 1 min 00 s", "Appel différé (DELAYED) : le modem attend encore 1 min 45 s", "attend encore 1 min 26 s", "Connecté (CONNECT 9600)."}, 80, "AT&F"},
      {"no carrier, then connected", {{"NO CARRIER"}, {"CONNECT 9600"}}, 0s, 1, rvTrue, {"« NO CARRIER », nouvel essai (2 sur 2)… sous 1 min 00 s", "Connecté (CONNECT 9600)."}},
      // clang-format on
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    SimulatedLine line;
    sim::ModemScript script;
    script.dial_answers = row.answers;
    script.dial_delay = row.answer_delay;
    line.AddModem(script);
    Captured screen;
    {
      Options options;
      options.attempts = row.attempts;
      options.init = row.init;
      Session session(options, {line.clock, std::move(line.owned), screen.out, true,
                                [&row] { return row.columns; }});
      EXPECT_EQ(session.Connect(), row.result);
      if (row.result != rvTrue) session.ReportFailure();
    }
    Said(screen.Text(), row.shown);
    for (const std::string& line : ScreenLines(screen.Text())) {
      if (line.rfind("Xmodem:", 0) != 0 && line.rfind("xmodemq:", 0) != 0) {
        EXPECT_LT(Width(line), row.columns) << line;
      }
    }
  }
  // The phase, the attempt and the time left are the component's own wait: a
  // status fed no trace at all still tells them.
  CallStatus status;
  xmodemquarvel::WaitState dial = Waiting(3, 36'200ms);
  dial.awaiting = xmodemquarvel::WaitState::Awaiting::kModem;
  dial.sent = "ATDT0,0199001234";
  EXPECT_EQ(status.Line(dial), "Appel sans réponse, nouvel essai (3 sur 10)… sous 37 s");
  EXPECT_EQ(status.TakeChange(dial), "Appel sans réponse, nouvel essai (3 sur 10)…");
  EXPECT_TRUE(status.Dialled());
}

// Transfers on the virtual clock, where the server and the moment of a signal
// are set exactly: a signal once a transfer ended well, a server that resumes
// elsewhere than asked.
TEST(Command, InProcessTheCommandKeepsWhatMovedAndSaysWhatTheServerDid) {
  const struct {
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
  } rows[] = {
      // clang-format off
      {"a receive, Ctrl-C once it ended", Command::Receive, {"F1.TXT"}, SIGINT, 1, 0, 1, {"F1.TXT reçu : 60 blocs", "xmodemq: Ctrl-C reçu après la fin du transfert de ", "F1.TXT, qui est gardé.", "!Interrompu", "!relancez"}},
      {"two receives, SIGTERM once the first ended", Command::Receive, {"F1.TXT", "F2.TXT"}, SIGTERM, 1, 143, 1, {"F1.TXT reçu", "SIGTERM reçu après la fin du transfert de ", "la suite n'est pas transférée : 1 fichier sur 2 transféré : "}},
      {"a send, SIGHUP once it ended", Command::Send, {"F1.TXT"}, SIGHUP, 1, 0, 1, {"F1.TXT envoyé : 60 blocs", "SIGHUP, terminal fermé reçu après la fin du transfert"}},
      {"a receive resumed from the start", Command::Receive, {"F1.TXT"}, 0, 0, 0, 1, {"Reprise après les 20 blocs", "Le serveur ne reprend pas la réception interrompue : le fichier est reçu de nouveau en entier, à la place des 20 blocs gardés.", "F1.TXT reçu : 60 blocs"}, 0},
      {"a receive resumed earlier than asked", Command::Receive, {"F1.TXT"}, 0, 0, 0, 1, {"Le serveur reprend après le bloc 1, et non après les 20 blocs gardés", "F1.TXT reçu (repris après 1 bloc) : 59 blocs"}, 1},
      // clang-format on
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    SimulatedLine line;
    const TempDir& dir = line.dir;
    line.AddServer();
    line.AddModem();
    sim::SimulatedServer& server = *line.server;
    server.Script().receive_position = row.resumed_at;
    // The signal once the server has had the last acknowledgement of the
    // `after`-th transfer: after it ended well, before the command saw it.
    std::size_t completed = 0;
    server.on_transfer = [&](const sim::ServerTransfer& t) {
      if (t.completed && ++completed == row.after) ::raise(row.signo);
    };
    if (row.resumed_at)
      MakeTree(dir.path(),
               {{kPartial + "F1.TXT", kBill20}, {kPartial + ".origine/F1.TXT", Origin("PS0001")}});
    Options options;
    options.user = "PS0001";
    options.journal_path = (dir / "journal.sqlite").string();
    for (const std::string& name : row.names) {
      const std::string path = (dir.path() / name).string();
      options.operands.push_back(path);
      if (row.command == Command::Send)
        WriteFile(path, kBill);
      else
        server.PutFile(name.substr(0, name.find('.')), kBill);
    }
    const Variable password("XMODEMQ_PASSWORD", kSecret), tmp("TMPDIR", dir.path().string());
    Captured said;
    SessionHost host{line.clock, std::move(line.owned), said.out, false, {}};
    const int status = row.command == Command::Send ? RunSend(options, std::move(host))
                                                    : RunReceive(options, std::move(host));
    EXPECT_EQ(status, row.status) << said.Text();
    Said(said.Text(), row.said);
    for (std::size_t i = 0; i < row.names.size(); ++i) {
      const std::string& name = row.names[i];
      const auto held = row.command == Command::Send
                            ? server.File(name.substr(0, name.find('.'))).value_or("")
                            : ReadFile(dir.path() / name);
      EXPECT_EQ(held, i < row.kept ? kBill : "") << name;
    }
  }
}

// Whatever this packer writes, unpack takes without a refusal (the pack
// tests show that its code passes the comparison too).
TEST(Command, EveryFileThePackerWritesPassesUnpacksChecks) {
  TempDir dir;
  const std::string bill = BillingFile(40, 3);
  const std::string bytes = xmodemquarvel::testing::Pattern(40 * 128);
  for (const std::string& source :
       {std::string(), std::string(1, 'x'), bill.substr(0, 127), bill.substr(0, 128),
        bill.substr(0, 129), bill, bill.substr(0, 35 * 128 + 77), bytes, std::string(5000, ' '),
        std::string(5000, '7'), std::string(5000, '\xFA')}) {
    const std::string packed = Packed(source);
    WriteFile(dir / "p", packed);
    const xmodemquarvel::UniqueFd p(::open((dir / "p").c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_EQ(NotPacked(p.Get(), static_cast<int64_t>(packed.size())), std::nullopt)
        << source.size();
  }
}

// While the component waits, the progress line tells what for, the attempt
// and the time left, once a wait has gone a second without a block or from
// its second attempt.
TEST(Command, ProgressDuringAWaitTellsTheAttemptAndTheTimeLeft) {
  for (const std::size_t columns : {std::size_t{100}, std::size_t{40}, std::size_t{20}}) {
    SCOPED_TRACE(columns);
    Captured screen;
    auto clock = std::make_shared<xmodemquarvel::VirtualClock>();
    std::vector<std::string> drawn;
    xmodemq::Progress progress(
        screen.out, ProgressMode::Bar, "Réception", 40, [&] { return columns; }, clock);
    const auto wait = [&](int32_t attempt, std::chrono::milliseconds left) {
      progress.Waiting(Waiting(attempt, left));
      drawn.push_back(ScreenLines(screen.Text()).back());
    };
    progress.Block(12);
    clock->Advance(500ms);
    wait(1, 9500ms);  // half a second: not yet
    clock->Advance(1s);
    wait(1, 8500ms);
    clock->Advance(100ms);
    wait(1, 8400ms);  // the same second: no redraw
    wait(3, 10000ms);
    progress.Block(13);
    const std::string after = ScreenLines(screen.Text()).back();
    EXPECT_EQ(drawn[0].find("tentative"), std::string::npos) << drawn[0];
    EXPECT_EQ(drawn[1], drawn[2]);
    if (columns == 100)
      Said(drawn[1], {"bloc 12/40, attend trame 13 ou EOT (tentative 1/10, encore 9 s)"});
    // At any width: the attempt and the time left, never past the width.
    Said(drawn[3], {"3/10", "10 s"});
    for (const std::string& line : drawn) EXPECT_LT(Width(line), columns) << line;
    EXPECT_EQ(after.find("3/10"), std::string::npos) << "a block ends the wait: " << after;
    Said(after, {columns >= 40 ? "bloc 13/40" : "13/40"});
    // Before a message, the line drawn is cleared: the message starts on an empty line.
    progress.Interrupt();
    EXPECT_EQ(ScreenLines(screen.Text()).back(), "") << screen.Text();
  }
}

// Plain lines: the first block, then one a second at most, one for each
// attempt of a wait from the second, the end.
TEST(Command, ProgressInLinesComesOncePerSecondAndOncePerAttempt) {
  Captured lines;
  {
    auto clock = std::make_shared<xmodemquarvel::VirtualClock>();
    xmodemq::Progress progress(lines.out, ProgressMode::Lines, "Réception", 40, {}, clock);
    progress.Block(1);
    clock->Advance(999ms);
    progress.Block(2);
    clock->Advance(1ms);
    progress.Block(3);
    clock->Advance(5s);
    for (const int32_t attempt : {1, 2, 2, 3}) progress.Waiting(Waiting(attempt, 5000ms));
    progress.Finish();
  }
  const std::string text = lines.Text();
  EXPECT_EQ(Count(text, "\n"), 5u) << text;
  EXPECT_EQ(Count(text, "bloc 2/40"), 0u) << text;
  EXPECT_EQ(Count(text, "bloc 3/40, 384 o/s, reste 12 s\n"), 1u) << text;
  EXPECT_EQ(Count(text, "bloc 3/40, attend trame 13 ou EOT (tentative 2/10)\n"), 1u) << text;
  EXPECT_EQ(Count(text, "(tentative 3/10)\n"), 1u) << text;
}

// A window narrowed under a redrawn line: the line, drawn one column short of
// the old width, now wraps onto more rows; its redraw goes back up over all of
// them and clears them, and never writes past the new width.
TEST(Command, ARedrawnLineClearsAllItTookAfterAResize) {
  // 0: one column narrower than the line drawn, which then takes two rows.
  const std::pair<std::size_t, std::size_t> resizes[] = {{80, 40}, {80, 20},  {80, 79},
                                                         {40, 80}, {100, 33}, {80, 0}};
  for (const auto& [before, narrower] : resizes) {
    SCOPED_TRACE(std::to_string(before) + " then " + std::to_string(narrower));
    Captured screen;
    std::size_t columns = before;
    auto clock = std::make_shared<xmodemquarvel::VirtualClock>();
    xmodemq::Progress progress(
        screen.out, ProgressMode::Bar, "Envoi", 2000, [&] { return columns; }, clock);
    progress.Block(1000);
    const std::string first = screen.Text();
    const std::size_t drawn = Width(ScreenLines(first).back());
    EXPECT_LT(drawn, before);
    const std::size_t after = narrower != 0 ? narrower : drawn - 1;
    columns = after;
    clock->Advance(1s);
    progress.Block(1500);
    progress.Finish();
    const std::string later = screen.Text().substr(first.size());
    const std::size_t above = (drawn - 1) / after;
    const std::string clear =
        above == 0 ? "\r\033[K" : "\r\033[" + std::to_string(above) + "A\033[J";
    EXPECT_EQ(later.substr(0, clear.size()), clear) << later;
    for (const std::string& line : ScreenLines(later)) EXPECT_LT(Width(line), after) << line;
    Said(later, {"bloc 1500/2000"});
  }
}

// Started under nohup or from a script with '&', the command leaves an
// ignored signal ignored: a SIGHUP midway does not stop the send.
TEST(Command, ASignalIgnoredAtTheStartStaysIgnored) {
  TempDir d;
  Simulator sim(d, {"--baud", "9600"});
  WriteFile(d / "FACT0001.TXT", kBill20);
  const auto before = ::signal(SIGHUP, SIG_IGN);
  Process send(Expand({"send", "D/FACT0001.TXT", "LINE", "--no-journal", "--progress"}, d.path(),
                      {XMODEMQ_PATH}, &sim),
               {{"XMODEMQ_PASSWORD", kSecret}});
  ::signal(SIGHUP, before);
  ASSERT_TRUE(send.Await("bloc ", 30s)) << send.ErrSoFar();
  send.Signal(SIGHUP);
  Expect(send.Wait(60s), 0, {"envoyé : 20 blocs"});
}

// The simulator's store, as a second user when the tests run as root and
// with a umask of 000: refused when others can write to it; made 0700, its
// files 0600; a link in it is neither served nor written through.
TEST(Command, TheSimulatorsStoreIsTheUsersOwnAndFollowsNoLink) {
  TempDir d;
  fs::create_directories(d / "open");
  fs::permissions(d / "open", fs::perms(0777));
  WriteFile(d / "secret", "secret");
  WriteFile(d / "FACT0002.TXT", kBill20);
  GiveAway(d.path());
  const mode_t umask = ::umask(0);
  Expect(Xmq({"simulate", "--link", (d / "modem").string(), "--store", (d / "open").string()}, {},
             30s, Intruder()),
         2, {"open est modifiable par d'autres utilisateurs"});
  Simulator sim(d, {"--store", (d / "store").string()}, {}, Intruder());
  ASSERT_EQ(::symlink((d / "secret").c_str(), (d / "store/FACT0001").c_str()), 0);
  const auto client = [&](const std::string& command, const std::string& file) {
    return Xmq(Expand({command, "D/" + file, "LINE", "--no-journal"}, d.path(), {}, &sim),
               {{"XMODEMQ_PASSWORD", kSecret}}, 60s, Intruder());
  };
  Expect(client("receive", "FACT0001.TXT"), 4);
  EXPECT_FALSE(fs::exists(d / "FACT0001.TXT"));
  WriteFile(d / "FACT0001.TXT", kBill20);
  GiveAway(d / "FACT0001.TXT");
  Expect(client("send", "FACT0001.TXT"), 4);
  Expect(client("send", "FACT0002.TXT"), 0);
  ::umask(umask);
  EXPECT_EQ(ReadFile(d / "secret"), "secret");
  EXPECT_TRUE(fs::is_symlink(d / "store/FACT0001"));
  EXPECT_EQ(fs::status(d / "store").permissions(), fs::perms(0700));
  // Taken in by the server: read-only, for its owner alone.
  EXPECT_EQ(fs::status(d / "store/FACT0002").permissions(), fs::perms(0400));
  EXPECT_EQ(ReadFile(d / "store/FACT0002"), kBill20);
}

// What a client reads from `fd` until `done` holds, for up to 20 s.
std::string ReadUntil(int fd, const std::function<bool(const std::string&)>& done) {
  std::string got;
  for (const auto until = std::chrono::steady_clock::now() + 20s;
       !done(got) && std::chrono::steady_clock::now() < until;) {
    pollfd p{fd, POLLIN, 0};
    char buffer[256];
    if (::poll(&p, 1, 100) == 1 && (p.revents & POLLIN) != 0) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
    }
  }
  return got;
}

// Opening records that only another client can send: a name that no file may
// have is refused with a status (a receive 6, a send 8), the simulator's log
// shows each text with its controls visible, and the next client is served.
TEST(Command, TheSimulatorRefusesANameNoFileHasAndServesTheNext) {
  const struct {
    std::string name, user;
    char sens;
    char status;
    std::string logged;
  } rows[] = {{std::string("\0X", 2), "PS0001", 'E', 8,
               "envoi de « \\x00X » par « PS0001 », reprise non, statut 8"},
              {"A\x1b[2J", "PS\x1b]0;x\x07", 'R', 6,
               "réception de « A\\e[2J » par « PS\\e]0;x\\x07 », reprise non, statut 6"}};
  TempDir d;
  Simulator sim(d, {});
  // Each client after the simulator saw the one before it go.
  std::size_t clients = 0;
  const auto gone = [&] {
    for (const auto until = std::chrono::steady_clock::now() + 10s;
         Count(sim.Log(), "client : port fermé") < clients &&
         std::chrono::steady_clock::now() < until;)
      std::this_thread::sleep_for(10ms);
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.logged);
    gone();
    ++clients;
    const xmodemquarvel::UniqueFd line(::open(sim.Link().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_TRUE(line);
    termios raw{};
    ::tcgetattr(line.Get(), &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(line.Get(), TCSANOW, &raw);
    const auto put = [&](const std::string& bytes) {
      ASSERT_EQ(::write(line.Get(), bytes.data(), bytes.size()),
                static_cast<ssize_t>(bytes.size()));
    };
    const auto acked = [](const std::string& got) { return got.find('\x06') != std::string::npos; };
    // Connected, the server invites the opening record with a NAK.
    put("ATDT0123\r");
    const std::string invited = ReadUntil(line.Get(), [](const std::string& got) {
      return got.find('\x15', got.find("CONNECT")) != std::string::npos;
    });
    ASSERT_NE(invited.find('\x15', invited.find("CONNECT")), std::string::npos) << invited;
    std::string record = "V2.0" + (row.user + std::string(40, ' ')).substr(0, 40) +
                         std::string(40, ' ') + (row.name + std::string(20, ' ')).substr(0, 20) +
                         "0128 " + row.sens + "00" + std::string(16, ' ');
    xmodemquarvel::protocol::ApplyControlPart(record);
    put(xmodemquarvel::protocol::BuildFrame(0, record) + '\r');
    ReadUntil(line.Get(), acked);
    put("\x04\r");
    ReadUntil(line.Get(), acked);
    put("\x15\r");
    const auto whole = [](const std::string& got) {
      return got.find('\x01') != std::string::npos && got.size() >= got.find('\x01') + 133;
    };
    const std::string answer = ReadUntil(line.Get(), whole);
    ASSERT_TRUE(whole(answer)) << sim.Log();
    EXPECT_EQ(answer[answer.find('\x01') + 3 + 108], row.status);
    EXPECT_TRUE(sim.Await(row.logged, 5s)) << sim.Log();
  }
  gone();
  WriteFile(d / "FACT0001.TXT", kBill20);
  const Outcome served =
      Xmq(Expand({"send", "D/FACT0001.TXT", "LINE", "--no-journal"}, d.path(), {}, &sim),
          {{"XMODEMQ_PASSWORD", kSecret}});
  EXPECT_EQ(served.status, 0) << served.All() << sim.Log();
  EXPECT_EQ(sim.Log().find_first_of(std::string("\x1b\x07\0", 3)), std::string::npos);
}

}  // namespace
}  // namespace xmodemq::test
