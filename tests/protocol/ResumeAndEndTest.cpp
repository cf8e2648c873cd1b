// The receive's end and its resume, where the component departs from the
// original on purpose: an EOT ends the file only when it is clean, the data go
// on at the position the server answers, TransferAccepted comes between the
// acceptance and the data, a receive through the host's own descriptor; and
// the wait's state that a status line reads.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ProtocolRig.h"
#include "modem/ServerNumber.h"
#include "protocol/AnswerCollector.h"
#include "protocol/Frame.h"
#include "protocol/OpeningRecord.h"

namespace xmodemquarvel::testing {
namespace {

using Wiring = ServerRig::Wiring;

// An edit of the server's messages that changes one of them, on its first
// sending only: data frame `frame` (counted from 1 after the response), or the
// EOT that ends the file when `frame` is 0.
std::function<std::string(std::string)> OnFirstSending(
    int frame, std::function<std::string(std::string)> edit) {
  return [frame, edit = std::move(edit), frames = -1, done = false](std::string m) mutable {
    const bool is_frame = m.size() == protocol::kFrameSize;
    if (is_frame) ++frames;
    const bool hit = frame > 0 ? is_frame && frames == frame : m == kEotCr;
    if (!hit || done) return m;
    done = true;
    return edit(std::move(m));
  };
}

TEST(ReceiveFile, TheFileEndsOnlyOnACleanEot) {
  const auto before = [](std::string bytes) {
    return [bytes](std::string m) { return bytes + m; };
  };
  const auto lose_soh = [](std::string m) { return m.substr(1); };
  struct Case {
    const char* what;
    int blocks, frame;
    std::function<std::string(std::string)> edit;
    int ack_before_nak;  // -1: no NAK at all
    long long ms;
  };
  // clang-format off
  const Case cases[] = {
      {"a stray EOT before the first frame", 70, 1, before(Bytes({4})), -1, 0},
      {"a stray EOT before frame 30", 70, 30, before(Bytes({4})), -1, 0},
      {"a stray EOT before the last frame", 70, 70, before(Bytes({4})), -1, 0},
      {"frame 4 loses its SOH: its number reads as EOT", 10, 4, lose_soh, 4, 10'000},
      {"frame 260 loses its SOH: its number is 4 too", 262, 260, lose_soh, 260, 10'000},
      {"noise before the EOT: asked for again, the next one ends", 5, 0, before("\x7F\x80"), 6, 0},
      {"a clean EOT ends at once", 5, 0, nullptr, -1, 0},
  };
  // clang-format on
  for (const Case& c : cases) {
    ServerRig rig;
    if (c.edit) rig.line.edit = OnFirstSending(c.frame, c.edit);
    const std::string content = Pattern(128 * c.blocks, 9);
    rig.server->PutFile("f", content);
    rig.Expect(rig.Receive("f.txt"), rvTrue, "", true, c.what);
    EXPECT_EQ(ReadFile(rig.path), content) << c.what;
    EXPECT_EQ(rig.received_events, Range(1, c.blocks)) << c.what;
    // ACK of the response, of every frame and of the EOT; one NAK where asked.
    const int acks = c.blocks + 2;
    EXPECT_EQ(rig.port->HostWrote().substr(kOpening),
              c.ack_before_nak < 0 ? Repeat(kAckCr, acks)
                                   : Repeat(kAckCr, c.ack_before_nak) + kNakCr +
                                         Repeat(kAckCr, acks - c.ack_before_nak))
        << c.what;
    EXPECT_EQ(rig.NowMs(), c.ms) << c.what;
  }
}

// By name or through a descriptor the host opened (where nothing is looked up
// by name: the file named is another one, which stays as it is).
TEST(ReceiveFile, GoesOnAtThePositionTheServerAnswersOrNotAtAll) {
  const std::string content = Pattern(128 * 50, 4);
  struct Case {
    std::optional<int> held;               // blocks here before
    std::optional<std::int64_t> answered;  // none: as asked
    ReturnValues result;
    std::string description = "";
    std::optional<int> flags = none;  // to open a descriptor with (-1: none); none: by name
  };
  const auto beyond = [](std::int64_t answered, std::int64_t held) {
    return "Position de reprise du distant invalide : " + std::to_string(answered) +
           " blocs annoncés, " + std::to_string(held) + " blocs déjà reçus";
  };
  // clang-format off
  const Case cases[] = {
      {20, 20, rvTrue},   // as asked
      {20, 0, rvTrue},    // the server declines the resume: from the start
      {20, 7, rvTrue},    // earlier than asked
      {20, 21, rvFalse, beyond(21, 20)}, {20, -3, rvFalse, beyond(-3, 20)},
      {0, 5, rvFalse, beyond(5, 0)}, {std::nullopt, 1, rvFalse, beyond(1, 0)},
      {0, none, rvTrue, "", O_RDWR}, {20, none, rvTrue, "", O_WRONLY}, {20, 7, rvTrue, "", O_RDWR},
      {20, none, rvFalse, "", O_RDONLY}, {0, none, rvFalse, "", O_RDONLY | O_DIRECTORY},
      {0, none, rvFalse, "", -1},
  };
  // clang-format on
  for (const Case& c : cases) {
    const std::int64_t held = c.held.value_or(0), from = c.answered.value_or(held);
    SCOPED_TRACE(std::to_string(c.held.value_or(-1)) + "@" + std::to_string(from) + " flags " +
                 std::to_string(c.flags.value_or(-9)));
    ServerRig rig;
    rig.server->PutFile("f", content);
    rig.server->Script().receive_position = c.answered;
    // What was held is not the server's copy: a cut must remove it all.
    const std::string local = Pattern(128 * held, 99);
    if (c.held) WriteFile(rig.dir / "f", local);
    std::vector<std::pair<char, std::int64_t>> accepted;
    rig.module->TransferAccepted = [&](char sens, std::int64_t position) {
      accepted.emplace_back(sens, position);
      EXPECT_TRUE(rig.received_events.empty());
      EXPECT_EQ(ReadFile(rig.path), local) << "cut only after the event";
    };
    const std::string named = rig.dir / "f.TXT";
    int fd = -1;
    ReturnValues result;
    if (!c.flags) {
      result = rig.Receive("f");
    } else {
      WriteFile(named, "autre fichier");
      rig.path = rig.dir / "f";
      const std::string opened = (*c.flags & O_DIRECTORY) != 0 ? rig.dir.path().string() : rig.path;
      fd = *c.flags >= 0 ? ::open(opened.c_str(), *c.flags | O_CLOEXEC) : -1;
      ASSERT_TRUE(*c.flags < 0 || fd >= 0);
      result = rig.module->ReceiveFileToDescriptor("u", "p", named, "0", fd);
      EXPECT_EQ(ReadFile(named), "autre fichier");
    }
    const std::string description =
        c.flags && c.result != rvTrue ? "Erreur ouverture " + named : c.description;
    rig.Expect(result, c.result, description, c.result == rvTrue);
    if (c.result == rvTrue) {
      const std::string& record = rig.server->Transfers().at(0).record;
      EXPECT_EQ(record.substr(110, 1) + record.substr(116, 3),
                (held > 0 ? "1" : "0") + protocol::EncodePosition(held));
      EXPECT_EQ(ReadFile(rig.path), local.substr(0, 128 * from) + content.substr(128 * from));
      EXPECT_EQ(rig.received_events, Range(static_cast<int32_t>(from) + 1, 50));
      EXPECT_EQ(accepted, (std::vector<std::pair<char, std::int64_t>>{{'R', from}}));
    } else {
      // Hung up right after the response (or before a byte went out when the
      // descriptor is unusable), the file as it was.
      EXPECT_EQ(rig.port->HostWrote().size(), c.flags ? 0 : kOpening);
      EXPECT_EQ(std::filesystem::exists(rig.path), c.held.has_value());
      EXPECT_EQ(ReadFile(rig.path), local);
      EXPECT_TRUE(accepted.empty());
    }
    if (fd >= 0) {
      // Still open, the offset at the end after a transfer.
      if (c.result == rvTrue) {
        EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 128 * 50);
      }
      EXPECT_EQ(::close(fd), 0) << "the descriptor stays the host's";
    }
  }
}

TEST(Transfers, TransferAcceptedComesBeforeTheDataAndAnAbortThereMovesNone) {
  for (const bool sending : {true, false}) {
    for (const bool abort : {false, true}) {
      const std::string what =
          std::string(sending ? "send" : "receive") + (abort ? ", aborted" : "");
      ServerRig rig;
      rig.module->Trace(false);  // raised whatever Trace says
      const std::string content = Pattern(128 * 6, 3);
      rig.server->PutFile("f", content.substr(0, 128 * 2));
      rig.server->Script().resume_sends = true;
      if (!sending) WriteFile(rig.dir / "f", content.substr(0, 128 * 2));
      std::vector<std::string> order;
      rig.module->TransferAccepted = [&](char sens, std::int64_t position) {
        order.push_back(std::string(1, sens) + std::to_string(position) + " after " +
                        std::to_string(rig.port->HostWrote().size()));
        if (abort) {
          EXPECT_TRUE(rig.module->Abort()) << what;
        }
      };
      if (!sending) rig.server->PutFile("f", content);
      const ReturnValues result = sending ? rig.Send("f", content) : rig.Receive("f");
      // A send has acknowledged the response and waited for its EOT; a receive
      // has acknowledged nothing yet.
      const std::size_t written = kOpening + (sending ? 2 : 0);
      EXPECT_EQ(order, std::vector<std::string>{(sending ? "E2 after " : "R2 after ") +
                                                std::to_string(written)})
          << what;
      if (abort) {
        rig.Expect(result, rvFalse, "Opération interrompue", false, what);
        EXPECT_EQ(rig.port->HostWrote().size(), written) << what << ": not a byte more";
        EXPECT_EQ(sending ? *rig.server->File("f") : ReadFile(rig.path), content.substr(0, 256))
            << what;
      } else {
        rig.Expect(result, rvTrue, "", true, what);
        EXPECT_EQ(sending ? *rig.server->File("f") : ReadFile(rig.path), content) << what;
      }
    }
  }
  // A refusal is no acceptance.
  ServerRig refused;
  refused.server->Script().status = 7;
  bool raised = false;
  refused.module->TransferAccepted = [&](char, std::int64_t) { raised = true; };
  EXPECT_EQ(refused.Send("g", Pattern(128)), rvRefuse);
  EXPECT_FALSE(raised);
}

// What a status line reads from the yield callback: each distinct wait of a
// call, a receive of two blocks and the hang-up, in order.
TEST(Transfers, TheWaitStateTellsWhatIsAwaitedItsAttemptAndTheTimeLeft) {
  ServerRig rig(Wiring::kModem);
  rig.server->PutFile("f", Pattern(256));
  std::vector<std::string> seen;
  long long longest_left_ms = 0;
  rig.on_yield = [&] {
    const WaitState w = rig.module->CurrentWait();
    const std::string line = std::to_string(static_cast<int>(w.awaiting)) + " " + w.sent + " > " +
                             w.expected + " " + std::to_string(w.attempt) + "/" +
                             std::to_string(w.attempts);
    if (seen.empty() || seen.back() != line) seen.push_back(line);
    ASSERT_TRUE(w.remaining.has_value()) << line;
    longest_left_ms = std::max<long long>(
        longest_left_ms,
        std::chrono::duration_cast<std::chrono::milliseconds>(*w.remaining).count());
  };
  ASSERT_EQ(rig.module->Connect(3), rvTrue);
  ASSERT_EQ(rig.Receive("f.txt"), rvTrue);
  rig.module->Disconnect();
  const std::string dial = "ATDT" + std::string(kServerNumber);
  EXPECT_EQ(seen, (std::vector<std::string>{
                      "1 ATZ > OK 1/4", "3  >  0/0", "1 " + dial + " > CONNECT 1/4",
                      "2  > NAK 1/10", "2 trame 0 > ACK 1/10", "2 EOT > ACK 1/10",
                      "2 NAK > trame 0 ou EOT 1/10", "2 ACK > trame 1 ou EOT 1/10",
                      "2 ACK > trame 2 ou EOT 1/10", "2 ACK > trame 3 ou EOT 1/10", "3  >  0/0"}));
  EXPECT_LE(longest_left_ms, 60'000);
  EXPECT_GT(longest_left_ms, 59'000) << "the dial's minute, read as it began";
  EXPECT_EQ(rig.module->CurrentWait().awaiting, WaitState::Awaiting::kNothing);
  EXPECT_FALSE(rig.module->CurrentWait().remaining.has_value());
}

}  // namespace
}  // namespace xmodemquarvel::testing
