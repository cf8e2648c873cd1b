// ReceiveFile against the simulated server on the virtual clock: whole files,
// the resume from the local file's size, an EOT that ends the file only when
// it is clean, the data that go on at the position the server answers
// (TransferAccepted comes before the file is cut), a receive through the
// host's own descriptor.
#include <fcntl.h>
#include <unistd.h>

#include "ProtocolRig.h"
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

// By name or through a descriptor the host opened (where nothing is looked up
// by name: the file named is another one, which stays as it is).
TEST(ReceiveFile, WholeFilesResumesTheCleanEndOfFileAndThePositionTheServerAnswers) {
  struct Case {
    std::size_t served = 50;                      // blocks the server holds
    std::optional<std::size_t> local = none;      // bytes already here
    std::string request = Bytes({'0', 0, 0, 0});  // Reprise and the three position bytes
    std::optional<std::int64_t> answered = none;  // none: as asked
    ReturnValues result = rvTrue;
    std::string description = "";
    std::optional<int> flags = none;  // to open a descriptor with (-1: none); none: by name
    sim::ServerFaults faults = {};
    std::string answers = "";  // after the opening; by default all ACKs
    std::function<std::string(std::string)> edit = nullptr;  // of the server's messages
    long long ms = 0;
  };
  const std::string twenty = Bytes({'1', 0, 0, 20});
  const auto stray_eot_before = [](std::string m) { return "\x04" + m; };
  const auto lose_soh = [](std::string m) { return m.substr(1); };
  // EOT at once creates an empty file; more than 255 frames wrap their numbers,
  // also after the 200 blocks already here. A repeated frame 3 is acknowledged
  // again and written once; a corrupted frame 2 is asked for again with NAK.
  // An EOT ends the file only when it is clean: a stray one before a frame
  // costs nothing; a frame whose SOH was lost has its number read first, 4
  // being EOT, and is asked for again after the time-out; an EOT after noise
  // is asked for again, and the next one ends the file. The server may answer
  // an earlier position than asked (0: it declines the resume), never a later
  // one nor a negative one.
  // clang-format off
  const Case cases[] = {
      {.served = 0}, {.served = 2},
      {.served = 6, .faults = {.repeat_frame = 3}, .answers = Repeat(kAckCr, 9)},
      {.served = 4, .faults = {.corrupt_frame = 2}, .answers = Repeat(kAckCr, 2) + kNakCr + Repeat(kAckCr, 4)},
      {.served = 520, .local = 0}, {.served = 520, .local = 128 * 200, .request = Bytes({'1', 0, 0, 200})},
      {.served = 520, .local = 128 * 300, .request = Bytes({'1', 1, 0, 44})},
      {.served = 520, .local = 128 * 512, .request = Bytes({'1', 2, 0, 0})},
      {.served = 520, .local = 128 * 300 + 64, .request = Bytes({'1', 1, 0, 44})},  // 300.5 rounds to 300
      {.served = 520, .local = 128 * 301 + 64, .request = Bytes({'1', 1, 0, 46})},  // 301.5 rounds to 302
      {.served = 520, .local = 40},                                                 // 0.3 rounds to 0
      {.served = 70, .edit = OnFirstSending(1, stray_eot_before)}, {.served = 70, .edit = OnFirstSending(30, stray_eot_before)},
      {.served = 70, .edit = OnFirstSending(70, stray_eot_before)},
      {.served = 10, .answers = Repeat(kAckCr, 4) + kNakCr + Repeat(kAckCr, 8), .edit = OnFirstSending(4, lose_soh), .ms = 10'000},
      {.served = 262, .answers = Repeat(kAckCr, 260) + kNakCr + Repeat(kAckCr, 4), .edit = OnFirstSending(260, lose_soh), .ms = 10'000},
      {.served = 5, .answers = Repeat(kAckCr, 6) + kNakCr + kAckCr, .edit = OnFirstSending(0, [](std::string m) { return "\x7F\x80" + m; })},
      {.local = 128 * 20, .request = twenty, .answered = 0}, {.local = 128 * 20, .request = twenty, .answered = 7},
      {.local = 128 * 20, .request = twenty, .answered = 21, .result = rvFalse, .description = "Position de reprise du distant invalide : 21 blocs annoncés, 20 blocs déjà reçus"},
      {.local = 128 * 20, .request = twenty, .answered = -3, .result = rvFalse, .description = "Position de reprise du distant invalide : -3 blocs annoncés, 20 blocs déjà reçus"},
      {.local = 0, .answered = 5, .result = rvFalse, .description = "Position de reprise du distant invalide : 5 blocs annoncés, 0 blocs déjà reçus"},
      {.answered = 1, .result = rvFalse, .description = "Position de reprise du distant invalide : 1 blocs annoncés, 0 blocs déjà reçus"},
      {.local = 0, .flags = O_RDWR}, {.local = 128 * 20, .request = twenty, .flags = O_WRONLY},
      {.local = 128 * 20, .request = twenty, .answered = 7, .flags = O_RDWR},
      {.local = 128 * 20, .result = rvFalse, .flags = O_RDONLY},
      {.local = 0, .result = rvFalse, .flags = O_RDONLY | O_DIRECTORY}, {.local = 0, .result = rvFalse, .flags = -1},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE("row " + std::to_string(&c - cases));
    ServerRig rig(c.faults);
    if (c.edit) rig.line.edit = c.edit;
    const std::string content = Pattern(128 * c.served, 5);
    rig.server->PutFile("f", content);
    rig.server->Script().receive_position = c.answered;
    // What was held is not the server's copy: a cut must remove it all.
    const std::string local = Pattern(c.local.value_or(0), 99);
    if (c.local) WriteFile(rig.dir / "f", local);
    rig.on_accepted = [&] {
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
    EXPECT_EQ(rig.module->ErrorSource(), "Xmodem: ReceiveFile");
    if (c.result == rvTrue) {
      const std::string& record = rig.server->Transfers().at(0).record;
      EXPECT_EQ(record.substr(110, 1) + record.substr(116, 3), c.request);
      const std::int64_t asked = protocol::ReadPosition(record).Blocks();
      const std::int64_t from = c.answered.value_or(asked);
      // After the local bytes, whatever their size, unless the server answered
      // an earlier position: then after as many whole blocks.
      EXPECT_EQ(ReadFile(rig.path),
                (from == asked ? local : local.substr(0, 128 * from)) + content.substr(128 * from));
      EXPECT_EQ(rig.received_events,
                Range(static_cast<int32_t>(from) + 1, static_cast<int32_t>(c.served)));
      // Appended rather than chained with +: g++ 12 at -O3 warns of a memcpy
      // overlap (-Wrestrict) that cannot happen in the chained form.
      std::string accepted = "R";
      accepted.append(std::to_string(from)).append(" after ").append(std::to_string(kOpening));
      EXPECT_EQ(rig.accepted, std::vector<std::string>{accepted});
      // ACK of the response, of each frame, and of the EOT.
      EXPECT_EQ(
          rig.port->HostWrote().substr(kOpening),
          c.answers.empty() ? Repeat(kAckCr, static_cast<int>(c.served - from) + 2) : c.answers);
      EXPECT_EQ(rig.NowMs(), c.ms);
    } else {
      // Hung up right after the response (or before a byte went out when the
      // descriptor is unusable), the file as it was.
      EXPECT_EQ(rig.port->HostWrote().size(), c.flags ? 0 : kOpening);
      EXPECT_EQ(std::filesystem::exists(rig.path), c.local.has_value());
      EXPECT_EQ(ReadFile(rig.path), local);
      EXPECT_TRUE(rig.accepted.empty());
    }
    if (fd >= 0) {
      // Still open, the offset at the end after a transfer.
      if (c.result == rvTrue) {
        EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), static_cast<off_t>(128 * c.served));
      }
      EXPECT_EQ(::close(fd), 0) << "the descriptor stays the host's";
    }
  }
}

}  // namespace
}  // namespace xmodemquarvel::testing
