// SendFile and ReceiveFile against the simulated server on the virtual clock:
// whole exchanges, the resume in both directions, the closing report, repeated
// and corrupted frames, line loss, and every failure with its line state and
// local file.
#include <sys/stat.h>
#include <unistd.h>

#include "ProtocolRig.h"

namespace xmodemquarvel::testing {
namespace {

TEST(SendFile, WholeFilesAndResumesAtThePositionTheServerNames) {
  struct Case {
    std::size_t size;
    bool present;
    std::size_t held;  // by the server, which then answers with that position
    std::optional<std::int64_t> position;
    std::size_t skip;
    int32_t first_event;
  };
  // A missing file is created empty and sent; 300 bytes go as two frames and
  // 44 bytes stay home; more than 255 frames wrap their numbers; record 301
  // goes first under number 1; positions beyond the end send nothing,
  // negative ones everything.
  // clang-format off
  const Case cases[] = {
      {0, false, 0, none, 0, 1}, {0, true, 0, none, 0, 1}, {300, true, 0, none, 0, 1},
      {128 * 600 + 5, true, 0, none, 0, 1}, {128 * 310, true, 300, none, 300, 301},
      {1280, true, 0, 1000, 10, 1001}, {1280, true, 0, 10, 10, 11},
      {1280, true, 0, -256, 0, -255}, {1280, true, 0, -3, 0, -2}};
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + "@" + std::to_string(c.first_event));
    ServerRig rig;
    rig.server->Script().send_position = c.position;
    rig.server->Script().resume_sends = c.held > 0;
    const std::string content = Pattern(c.size);
    if (c.held > 0) rig.server->PutFile("whole", content.substr(0, 128 * c.held));
    rig.Expect(rig.Send("whole.dat", c.present ? std::optional<std::string_view>(content) : none),
               rvTrue, "", true);
    EXPECT_EQ(rig.module->ErrorSource(), "Xmodem: SendFile");
    // The opening, the ACKs of the response and of its EOT, records skip + 1,
    // skip + 2 ... under numbers 1, 2 ..., the EOT, and the closing report's.
    std::string frames;
    for (std::size_t i = c.skip; i < c.size / 128; ++i)
      frames += LineFrame(static_cast<std::uint8_t>(i - c.skip + 1), content.substr(128 * i, 128));
    const std::string& record = rig.server->Transfers().at(0).record;
    EXPECT_EQ(rig.port->HostWrote(), LineFrame(0, record) + kEotCr + kNakCr + kAckCr + kAckCr +
                                         frames + kEotCr + kNakCr + kAckCr + kAckCr);
    const auto position = c.position.value_or(static_cast<std::int64_t>(c.held));
    EXPECT_EQ(rig.accepted, std::vector<std::string>{"E" + std::to_string(position) + " after " +
                                                     std::to_string(kOpening + 2)});
    const auto sent = static_cast<int32_t>(c.size / 128 - c.skip);
    EXPECT_EQ(rig.sent_events, Range(c.first_event, c.first_event + sent - 1));
    if (!c.position) {
      EXPECT_EQ(rig.server->File("whole"), content.substr(0, c.size / 128 * 128));
    }
    EXPECT_EQ(ReadFile(rig.path), content) << "the file is only read, or created empty";
    EXPECT_EQ(rig.NowMs(), 0) << "nothing waited";
  }
}

TEST(Transfers, ProgressFollowsTraceButTransferAcceptedDoesNot) {
  ServerRig rig;
  // Without Trace no progress event; with it, the handler gets the counter
  // itself and may change it.
  rig.module->Trace(false);
  ASSERT_EQ(rig.Send("quiet.bin", Pattern(128 * 3)), rvTrue);
  ASSERT_EQ(rig.Receive("quiet.copy"), rvTrue);
  EXPECT_TRUE(rig.sent_events.empty() && rig.received_events.empty());
  EXPECT_EQ(rig.accepted.size(), 2u);
  rig.module->Trace(true);
  for (auto* event : {&rig.module->BlocSended, &rig.module->BlocReceived})
    *event = [&](int32_t& n) { rig.sent_events.push_back(n), n += 10; };
  ASSERT_EQ(rig.Send("h.bin", Pattern(128 * 3)), rvTrue);
  ASSERT_EQ(rig.Receive("h.copy"), rvTrue);
  EXPECT_EQ(rig.sent_events, (std::vector<int32_t>{1, 12, 23, 1, 12, 23}));
}

TEST(Transfers, FailuresLeaveTheirDescriptionLineStateAndLocalFile) {
  const std::string content = Pattern(128 * 10);
  const std::string two = Pattern(128 * 2, 2), three = Pattern(128 * 3), four = Pattern(128 * 4, 2);
  struct Case {
    const char* what;
    bool sending;
    sim::ServerFaults faults;
    ReturnValues result;
    std::string description;
    bool line_up;
    std::optional<std::string> local, local_after;  // the local file before and after
    std::string tail = "";                          // the end of what the component wrote
    std::optional<std::uint8_t> status = none;
    bool abort = false;  // from TransferAccepted
  };
  // Silence after the invitation, two ACKs and the response.
  const int kAfterResponse = 4;
  // A refusal is acknowledged, its EOT awaited and acknowledged.
  const std::string refusal = kNakCr + kAckCr + kAckCr;
  // clang-format off
  std::vector<Case> cases = {
      {"EOT in place of the report", true, {.eot_for_report = true}, rvFalse, kUnexpected, true, three, three},
      {"carrier lost after the second frame", true, {.line_loss_after_frames = 2}, rvCTS, kLineCut, false, three, three},
      {"a refusal whose EOT never comes", false, {.silent_after_messages = kAfterResponse}, rvFalse, kTenTimeOuts, false, none, none, "", 6},
      {"accepted, but no frame comes: the created file stays empty", false, {.silent_after_messages = kAfterResponse}, rvFalse, kTenTimeOuts, false, none, ""},
      {"silence after three frames: nine NAKs ask for the fourth", false, {.silent_after_messages = kAfterResponse + 3}, rvFalse, kTenTimeOuts, false, none, content.substr(0, 128 * 3), kAckCr + Repeat(kNakCr, 9)},
      {"carrier lost in the loop keeps the accepted blocks", false, {.line_loss_after_frames = 7}, rvCTS, kLineCut, false, none, content.substr(0, 128 * 7)},
      {"EOT in place of the response", false, {.eot_for_response = true}, rvFalse, kUnexpected, true, none, none},
      {"refused: no new file", false, {}, rvRefuse, kRefused + "6", true, none, none, refusal, 6},
      {"refused: the old file as it was", false, {}, rvRefuse, kRefused + "6", true, two, two, refusal, 6},
      // An abort from TransferAccepted: not a byte more, the files as they were.
      {"aborted on acceptance", true, {}, rvFalse, "Opération interrompue", false, three, three, kAckCr, none, true},
      {"aborted on acceptance", false, {}, rvFalse, "Opération interrompue", false, two, two, kNakCr, none, true},
  };
  for (int silent_after : {0, 1, 2, 3})
    cases.push_back({"the opening exchange fails", false, {.silent_after_messages = silent_after}, rvFalse, kTenTimeOuts, false, four, four});
  // A refused file is never opened, so never created; the refusal ends with
  // one ACK written without waiting.
  for (std::uint8_t status : {1, 3, 7, 8})
    cases.push_back({"refused", true, {}, rvRefuse, kRefused + std::to_string(status), true, none, none, kAckCr + kAckCr, status});
  // The report and its EOT are both acknowledged.
  for (int offset : {1, -1, 256})
    cases.push_back({"a wrong count in the report", true, {.report_offset = offset}, rvFalse, "Nombre de blocs recus <> nombre de blocs transmis", true, three, three, kNakCr + kAckCr + kAckCr});
  // Silence after: the invitation (1), the ACK of the record (2), of its EOT
  // (3), the response (4), its EOT (5), the data invitation (6), the first
  // data ACK (7), the last (9), the ACK of the final EOT (10), the report (11).
  for (int silent_after : {1, 2, 3, 4, 5, 6, 7, 9, 10, 11})
    cases.push_back({"silence", true, {.silent_after_messages = silent_after}, rvFalse, kTenTimeOuts, false, three, three});
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.what) + " " + std::to_string(c.faults.silent_after_messages));
    ServerRig rig(c.faults);
    rig.server->Script().status = c.status;
    if (c.abort) rig.on_accepted = [&rig] { EXPECT_TRUE(rig.module->Abort()); };
    if (!c.sending) rig.server->PutFile("f", content);
    if (c.local) WriteFile(rig.dir / "f", *c.local);
    rig.Expect(c.sending ? rig.Send("f", none) : rig.Receive("f"), c.result, c.description,
               c.line_up);
    EXPECT_EQ(std::filesystem::exists(rig.path), c.local_after.has_value());
    EXPECT_EQ(ReadFile(rig.path), c.local_after.value_or(""));
    EXPECT_TRUE(rig.port->HostWrote().ends_with(c.tail));
    if (c.abort) {
      EXPECT_EQ(rig.port->HostWrote().size(), kOpening + (c.sending ? 2 : 0));
    }
    if (c.sending && (c.result == rvCTS || c.abort)) {
      // The second frame reached the server, but CTS fell before its ACK was
      // read; an abort moved nothing.
      EXPECT_EQ(rig.sent_events, Range(1, c.abort ? 0 : 1));
      EXPECT_EQ(rig.server->File("f").value_or(""), three.substr(0, c.abort ? 0 : 256));
    }
    if (!c.line_up) continue;
    // A second transfer on the same connection opens as the first did.
    rig.server->Faults() = {};
    rig.server->Script().status.reset();
    std::filesystem::remove(rig.path);
    EXPECT_EQ(c.sending ? rig.Send("g", two) : rig.Receive("f"), rvTrue);
    EXPECT_EQ(c.sending ? rig.server->File("g").value_or("") : ReadFile(rig.path),
              c.sending ? two : content);
  }
}

// Local files that cannot be opened or positioned drop the line: a directory,
// a missing folder, a pipe that cannot go to the position the server names,
// and files of 2^24 blocks or more (rounded), which a position cannot express;
// one block less is asked for (and refused here: the server has no such file).
// A receive fails before a byte goes out.
TEST(Transfers, LocalFilesThatCannotBeOpenedOrPositioned) {
  const std::int64_t limit = std::int64_t{1} << 31;
  struct Case {
    bool sending;
    std::string name;
    std::int64_t size = -1;        // of a sparse file made first
    std::string description = "";  // "": "Erreur ouverture " and the path
  };
  // clang-format off
  const Case cases[] = {
      {true, "sub"}, {true, "no/such/dir/f.txt"}, {true, "pipe", -1, "Repositionnement en 5 impossible"},
      {false, "sub"}, {false, "huge", limit}, {false, "huge", limit - 64}, {false, "huge", limit - 128, kRefused + "6"}};
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name + " " + std::to_string(c.size));
    ServerRig rig;
    rig.server->Script().send_position = 5;
    std::filesystem::create_directory(rig.dir / "sub");
    ASSERT_EQ(::mkfifo((rig.dir / "pipe").c_str(), 0600), 0);
    const std::string path = rig.dir / c.name;
    if (c.size >= 0) {
      WriteFile(path, "");
      ASSERT_EQ(::truncate(path.c_str(), c.size), 0);
    }
    const bool refused = !c.description.empty() && !c.sending;
    rig.Expect(c.sending ? rig.Send(c.name, none) : rig.Receive(c.name),
               refused ? rvRefuse : rvFalse,
               c.description.empty() ? "Erreur ouverture " + path : c.description, refused);
    EXPECT_EQ(rig.module->ErrorSource(), c.sending ? "Xmodem: SendFile" : "Xmodem: ReceiveFile");
    if (refused) {
      EXPECT_EQ(rig.server->Transfers().back().record.substr(116, 3), Bytes({255, 255, 255}));
    } else if (!c.sending) {
      EXPECT_TRUE(rig.port->HostWrote().empty()) << "nothing went on the line";
    }
    if (c.size >= 0) {
      EXPECT_EQ(static_cast<std::int64_t>(std::filesystem::file_size(path)), c.size);
    }
  }
  // A new file that cannot be created fails the call itself, with the line up.
  ServerRig rig;
  rig.server->PutFile("f", Pattern(128));
  EXPECT_THROW(rig.Receive("no/such/dir/f"), std::system_error);
  EXPECT_TRUE(rig.port->PortOpen());
  EXPECT_FALSE(std::filesystem::exists(rig.path));
}

}  // namespace
}  // namespace xmodemquarvel::testing
