// ReceiveFile against the simulated server on the virtual clock: whole files,
// the resume from the local file's size, and where the component departs from
// the original on purpose: an EOT ends the file only when it is clean, the
// data go on at the position the server answers (TransferAccepted comes before
// the file is cut), a receive through the host's own descriptor.
#include <fcntl.h>
#include <unistd.h>

#include "ProtocolRig.h"
#include "protocol/Frame.h"
#include "protocol/OpeningRecord.h"

namespace xmodemquarvel::testing {
namespace {

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

TEST(ReceiveFile, WholeFilesResumesFromTheLocalSizeAndTheCleanEndOfFileRule) {
  struct Case {
    std::size_t served;                // blocks the server holds
    std::optional<std::size_t> local;  // bytes already here
    std::string request;               // Reprise and the three position bytes
    std::int32_t first_event;
    sim::ServerFaults faults = {};
    std::string answers = "";  // after the opening; by default all ACKs
    std::function<std::string(std::string)> edit = nullptr;  // of the server's messages
    long long ms = 0;
  };
  const std::string nothing = Bytes({'0', 0, 0, 0});
  const auto stray_eot_before = [](int frame) {
    return OnFirstSending(frame, [](std::string m) { return "\x04" + m; });
  };
  const auto lose_soh = [](int frame) {
    return OnFirstSending(frame, [](std::string m) { return m.substr(1); });
  };
  // EOT at once creates an empty file; more than 255 frames wrap their numbers,
  // also after the 200 blocks already here. A repeated frame 3 is acknowledged
  // again and written once; a corrupted frame 2 is asked for again with NAK.
  // An EOT ends the file only when it is clean: a stray one before a frame
  // costs nothing; a frame whose SOH was lost has its number read first, 4
  // being EOT, and is asked for again after the time-out; an EOT after noise
  // is asked for again, and the next one ends the file.
  // clang-format off
  const std::vector<Case> cases = {
      {0, none, nothing, 1}, {2, none, nothing, 1},
      {6, none, nothing, 1, {.repeat_frame = 3}, Repeat(kAckCr, 9)},
      {4, none, nothing, 1, {.corrupt_frame = 2}, Repeat(kAckCr, 2) + kNakCr + Repeat(kAckCr, 4)},
      {520, 0, nothing, 1}, {520, 128 * 200, Bytes({'1', 0, 0, 200}), 201},
      {520, 128 * 300, Bytes({'1', 1, 0, 44}), 301}, {520, 128 * 512, Bytes({'1', 2, 0, 0}), 513},
      {520, 128 * 300 + 64, Bytes({'1', 1, 0, 44}), 301},  // 300.5 rounds to 300
      {520, 128 * 301 + 64, Bytes({'1', 1, 0, 46}), 303},  // 301.5 rounds to 302
      {520, 40, nothing, 1},                               // 0.3 rounds to 0
      {70, none, nothing, 1, {}, "", stray_eot_before(1)}, {70, none, nothing, 1, {}, "", stray_eot_before(30)},
      {70, none, nothing, 1, {}, "", stray_eot_before(70)},
      {10, none, nothing, 1, {}, Repeat(kAckCr, 4) + kNakCr + Repeat(kAckCr, 8), lose_soh(4), 10'000},
      {262, none, nothing, 1, {}, Repeat(kAckCr, 260) + kNakCr + Repeat(kAckCr, 4), lose_soh(260), 10'000},
      {5, none, nothing, 1, {}, Repeat(kAckCr, 6) + kNakCr + kAckCr, OnFirstSending(0, [](std::string m) { return "\x7F\x80" + m; })},
  };
  // clang-format on
  for (const Case& c : cases) {
    const std::string what = std::to_string(c.served) + "/" + std::to_string(c.local.value_or(0));
    ServerRig rig(ServerRig::Wiring::kDirect, {}, c.faults);
    if (c.edit) rig.line.edit = c.edit;
    const std::string content = Pattern(128 * c.served, 5);
    rig.server->PutFile("whole", content);
    const std::string local = content.substr(0, c.local.value_or(0));
    if (c.local) WriteFile(rig.dir / "whole.txt", local);
    rig.Expect(rig.Receive("whole.txt"), rvTrue, "", true, what);
    EXPECT_EQ(rig.module->ErrorSource(), "Xmodem: ReceiveFile");
    const auto& t = rig.server->Transfers().at(0);
    EXPECT_EQ(t.sens, 'R');
    EXPECT_EQ(t.record.substr(110, 1) + t.record.substr(116, 3), c.request) << what;
    EXPECT_TRUE(t.completed);
    const auto blocks = static_cast<std::size_t>(protocol::ReadPosition(t.record).Blocks());
    // Everything after the local bytes is appended, whatever their size.
    EXPECT_EQ(ReadFile(rig.path), local + content.substr(blocks * 128)) << what;
    EXPECT_EQ(rig.received_events, Range(c.first_event, static_cast<int32_t>(c.served))) << what;
    EXPECT_EQ(rig.accepted, std::vector<std::string>{"R" + std::to_string(blocks) + " after " +
                                                     std::to_string(kOpening)})
        << what;
    // ACK of the response, of each frame, and of the EOT.
    EXPECT_EQ(
        rig.port->HostWrote().substr(kOpening),
        c.answers.empty() ? Repeat(kAckCr, static_cast<int>(c.served - blocks) + 2) : c.answers);
    EXPECT_EQ(rig.NowMs(), c.ms) << what;
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

}  // namespace
}  // namespace xmodemquarvel::testing
