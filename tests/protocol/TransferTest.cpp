// SendFile and ReceiveFile against the simulated server on the virtual clock:
// whole exchanges, the resume in both directions, the closing report, repeated
// and corrupted frames, line loss, and every failure with its line state and
// local file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ProtocolRig.h"
#include "modem/ServerNumber.h"
#include "protocol/AnswerCollector.h"
#include "protocol/Frame.h"

namespace xmodemquarvel::testing {
namespace {

using Wiring = ServerRig::Wiring;

// The data frames written (the opening record aside) carry records skip + 1,
// skip + 2 ... of `content` under numbers 1, 2 ...
void ExpectFrames(const std::string& wire, const std::string& content, std::size_t skip) {
  std::vector<std::string> written, expected;
  std::string rx;
  for (char c : wire) {
    if (!protocol::CollectAnswerByte(rx, c)) continue;
    if (rx.size() == 133) written.push_back(rx);
    rx.clear();
  }
  for (std::size_t i = skip; i < content.size() / 128; ++i)
    expected.push_back(protocol::BuildFrame(static_cast<std::uint8_t>(i - skip + 1),
                                            content.substr(128 * i, 128)) +
                       "\r");
  ASSERT_FALSE(written.empty());
  written.erase(written.begin());
  EXPECT_EQ(written, expected);
}

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
    const std::string what = std::to_string(c.size) + "@" + std::to_string(c.first_event);
    ServerRig rig;
    rig.server->Script().send_position = c.position;
    rig.server->Script().resume_sends = c.held > 0;
    const std::string content = Pattern(c.size);
    if (c.held > 0) rig.server->PutFile("whole", content.substr(0, 128 * c.held));
    rig.Expect(rig.Send("whole.dat", c.present ? std::optional<std::string_view>(content) : none),
               rvTrue, "", true, what);
    EXPECT_EQ(rig.module->ErrorSource(), "Xmodem: SendFile");
    ExpectFrames(rig.port->HostWrote(), content, c.skip);
    const auto sent = static_cast<int32_t>(c.size / 128 - c.skip);
    EXPECT_EQ(rig.sent_events, Range(c.first_event, c.first_event + sent - 1)) << what;
    EXPECT_TRUE(rig.server->Transfers().at(0).completed);
    if (!c.position) {
      EXPECT_EQ(rig.server->File("whole"), content.substr(0, c.size / 128 * 128)) << what;
    }
    EXPECT_EQ(ReadFile(rig.path), content) << "the file is only read, or created empty";
    EXPECT_EQ(rig.NowMs(), 0) << "nothing waited";
  }
}

TEST(SendFile, TheWholeExchangeIsExactAndProgressFollowsTrace) {
  ServerRig rig;
  const std::string content = Pattern(128);
  ASSERT_EQ(rig.Send("one.dat", content), rvTrue);
  const std::string& record = rig.server->Transfers()[0].record;
  EXPECT_EQ(rig.port->HostWrote(), protocol::BuildFrame(0, record) + "\r" + kEotCr + kNakCr +
                                       kAckCr + kAckCr + protocol::BuildFrame(1, content) + "\r" +
                                       kEotCr + kNakCr + kAckCr + kAckCr);
  // Without Trace no progress event; with it, the handler gets the counter
  // itself and may change it.
  rig.sent_events.clear();
  rig.module->Trace(false);
  ASSERT_EQ(rig.Send("quiet.bin", Pattern(128 * 3)), rvTrue);
  ASSERT_EQ(rig.Receive("quiet.copy"), rvTrue);
  EXPECT_TRUE(rig.sent_events.empty() && rig.received_events.empty());
  EXPECT_EQ(ReadFile(rig.path), Pattern(128 * 3));
  rig.module->Trace(true);
  for (auto* event : {&rig.module->BlocSended, &rig.module->BlocReceived})
    *event = [&](int32_t& n) { rig.sent_events.push_back(n), n += 10; };
  ASSERT_EQ(rig.Send("h.bin", Pattern(128 * 3)), rvTrue);
  ASSERT_EQ(rig.Receive("h.copy"), rvTrue);
  EXPECT_EQ(rig.sent_events, (std::vector<int32_t>{1, 12, 23, 1, 12, 23}));
}

TEST(SendFile, AFileThatCannotBeOpenedOrPositionedDropsTheLine) {
  ServerRig rig;
  for (const std::string path : {rig.dir.path(), rig.dir / "no/such/dir/f.txt"}) {
    rig.Reconnect();
    rig.Expect(rig.module->SendFile("u", "p", path, "0"), rvFalse, "Erreur ouverture " + path,
               false);
    EXPECT_EQ(rig.module->ErrorSource(), "Xmodem: SendFile");
  }
  rig.Reconnect();
  rig.server->Script().send_position = 5;
  const std::string pipe = rig.dir / "pipe";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  rig.Expect(rig.module->SendFile("u", "p", pipe, "0"), rvFalse, "Repositionnement en 5 impossible",
             false);
}

TEST(ReceiveFile, WholeFilesAndResumesFromTheLocalFileSize) {
  struct Case {
    std::size_t served;                // blocks the server holds
    std::optional<std::size_t> local;  // bytes already here
    std::string request;               // Reprise and the three position bytes
    std::int32_t first_event;
    sim::ServerFaults faults = {};
    std::string answers = "";  // after the opening; by default all ACKs
  };
  const std::string nothing = Bytes({'0', 0, 0, 0});
  // EOT at once creates an empty file; more than 255 frames wrap their numbers,
  // also after the 200 blocks already here. A repeated frame 3 is acknowledged
  // again and written once; a corrupted frame 2 is asked for again with NAK.
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
  };
  // clang-format on
  for (const Case& c : cases) {
    const std::string what = std::to_string(c.served) + "/" + std::to_string(c.local.value_or(0));
    ServerRig rig(Wiring::kDirect, {}, c.faults);
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
    // ACK of the response, of each frame, and of the EOT.
    EXPECT_EQ(
        rig.port->HostWrote().substr(kOpening),
        c.answers.empty() ? Repeat(kAckCr, static_cast<int>(c.served - blocks) + 2) : c.answers);
  }
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
  };
  // Silence after the invitation, two ACKs and the response.
  const int kAfterResponse = 4;
  // A refusal is acknowledged, its EOT awaited and acknowledged.
  const std::string refusal = kNakCr + kAckCr + kAckCr;
  // clang-format off
  std::vector<Case> cases = {
      {"EOT in place of the report", true, {.eot_for_report = true}, rvFalse, kUnexpected, true, three, three},
      {"carrier lost after the second frame", true, LineLoss(2), rvCTS, kLineCut, false, three, three},
      {"a refusal whose EOT never comes", false, Silent(kAfterResponse), rvFalse, kTenTimeOuts, false, none, none, "", 6},
      {"accepted, but no frame comes: the created file stays empty", false, Silent(kAfterResponse), rvFalse, kTenTimeOuts, false, none, ""},
      {"silence after three frames: nine NAKs ask for the fourth", false, Silent(kAfterResponse + 3), rvFalse, kTenTimeOuts, false, none, content.substr(0, 128 * 3), kAckCr + Repeat(kNakCr, 9)},
      {"carrier lost in the loop keeps the accepted blocks", false, LineLoss(7), rvCTS, kLineCut, false, none, content.substr(0, 128 * 7)},
      {"EOT in place of the response", false, {.eot_for_response = true}, rvFalse, kUnexpected, true, none, none},
      {"refused: no new file", false, {}, rvRefuse, kRefused + "6", true, none, none, refusal, 6},
      {"refused: the old file as it was", false, {}, rvRefuse, kRefused + "6", true, two, two, refusal, 6},
  };
  // clang-format on
  for (int silent_after : {0, 1, 2, 3})
    cases.push_back({"the opening exchange fails", false, Silent(silent_after), rvFalse,
                     kTenTimeOuts, false, four, four});
  // A refused file is never opened, so never created; the refusal ends with
  // one ACK written without waiting.
  for (std::uint8_t status : {1, 3, 7, 8})
    cases.push_back({"refused",
                     true,
                     {},
                     rvRefuse,
                     kRefused + std::to_string(status),
                     true,
                     none,
                     none,
                     kAckCr + kAckCr,
                     status});
  // The report and its EOT are both acknowledged.
  for (int offset : {1, -1, 256})
    cases.push_back({"a wrong count in the report",
                     true,
                     {.report_offset = offset},
                     rvFalse,
                     kBadCount,
                     true,
                     three,
                     three,
                     kNakCr + kAckCr + kAckCr});
  // Silence after: the invitation (1), the ACK of the record (2), of its EOT
  // (3), the response (4), its EOT (5), the data invitation (6), the first
  // data ACK (7), the last (9), the ACK of the final EOT (10), the report (11).
  for (int silent_after : {1, 2, 3, 4, 5, 6, 7, 9, 10, 11})
    cases.push_back(
        {"silence", true, Silent(silent_after), rvFalse, kTenTimeOuts, false, three, three});
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.what) + " " + std::to_string(c.faults.silent_after_messages));
    ServerRig rig(Wiring::kDirect, {}, c.faults);
    rig.server->Script().status = c.status;
    if (!c.sending) rig.server->PutFile("f", content);
    if (c.local) WriteFile(rig.dir / "f", *c.local);
    rig.Expect(c.sending ? rig.Send("f", none) : rig.Receive("f"), c.result, c.description,
               c.line_up);
    EXPECT_EQ(std::filesystem::exists(rig.path), c.local_after.has_value());
    EXPECT_EQ(ReadFile(rig.path), c.local_after.value_or(""));
    EXPECT_EQ(Tail(rig.port->HostWrote(), c.tail.size()), c.tail);
    if (c.sending && c.result == rvCTS) {
      // The second frame reached the server, but CTS fell before its ACK was read.
      EXPECT_EQ(rig.sent_events, Range(1, 1));
      EXPECT_EQ(rig.server->File("f"), three.substr(0, 256));
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

TEST(ReceiveFile, LocalFilesThatCannotBeOpenedOrCreated) {
  ServerRig rig;
  // A directory cannot be opened for appending.
  const std::string directory = rig.dir / "sub";
  std::filesystem::create_directory(directory);
  rig.Expect(rig.Receive("sub"), rvFalse, "Erreur ouverture " + directory, false);
  EXPECT_TRUE(rig.port->HostWrote().empty()) << "nothing went on the line";
  // 2^24 blocks (rounded) are more than the position can express; one block
  // less is asked for (and refused here: the server has no such file).
  const std::int64_t limit = std::int64_t{1} << 31;
  for (const std::int64_t size : {limit, limit - 64, limit - 128}) {
    rig.Reconnect();
    const std::string huge = rig.dir / "huge";
    WriteFile(huge, "");
    ASSERT_EQ(::truncate(huge.c_str(), size), 0);
    const ReturnValues result = rig.Receive("huge");
    if (size == limit - 128) {
      rig.Expect(result, rvRefuse, kRefused + "6", true);
      EXPECT_EQ(rig.server->Transfers().back().record.substr(116, 3), Bytes({255, 255, 255}));
    } else {
      rig.Expect(result, rvFalse, "Erreur ouverture " + huge, false);
    }
    EXPECT_EQ(static_cast<std::int64_t>(std::filesystem::file_size(huge)), size);
  }
  // A new file that cannot be created fails the call itself, with the line up.
  rig.Reconnect();
  rig.server->PutFile("f", Pattern(128));
  EXPECT_THROW(rig.Receive("no/such/dir/f"), std::system_error);
  EXPECT_TRUE(rig.port->PortOpen());
  EXPECT_FALSE(std::filesystem::exists(rig.path));
}

TEST(ReceiveFile, LineLossAfter50FramesThenAResumeThroughTheModem) {
  ServerRig rig(Wiring::kModem, {}, LineLoss(50));
  const std::string content = Pattern(128 * 334, 21);
  rig.server->PutFile("stmt", content);

  ASSERT_EQ(rig.module->Connect(3), rvTrue) << rig.module->ErrorDescription();
  const ReturnValues first = rig.Receive("stmt.txt");
  EXPECT_TRUE(first == rvCTS || first == rvFalse) << first;
  EXPECT_FALSE(rig.port->PortOpen());
  EXPECT_EQ(ReadFile(rig.path), content.substr(0, 128 * 50));

  rig.server->Faults().line_loss_after_frames = -1;
  ASSERT_EQ(rig.module->Connect(3), rvTrue) << rig.module->ErrorDescription();
  rig.received_events.clear();
  ASSERT_EQ(rig.Receive("stmt.txt"), rvTrue) << rig.module->ErrorDescription();
  rig.module->Disconnect();
  EXPECT_EQ(rig.server->Transfers().back().requested_position, 50);
  EXPECT_EQ(ReadFile(rig.path), content);
  EXPECT_EQ(rig.received_events, Range(51, 334));
  EXPECT_FALSE(rig.port->PortOpen());
}

}  // namespace
}  // namespace xmodemquarvel::testing
