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
const auto none = std::nullopt;

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

TEST(SendFile, FailuresLeaveTheirDescriptionAndLineState) {
  struct Case {
    sim::ServerFaults faults;
    ReturnValues result;
    std::string description;
    bool line_up;
    std::string tail = "";  // the end of what the component wrote
    std::optional<std::uint8_t> status = none;
  };
  std::vector<Case> cases = {{{.eot_for_report = true}, rvFalse, kUnexpected, true},
                             {LineLoss(2), rvCTS, kLineCut, false}};
  // A refusal ends with one ACK written without waiting.
  for (std::uint8_t status : {1, 3, 7, 8})
    cases.push_back(
        {{}, rvRefuse, kRefused + std::to_string(status), true, kAckCr + kAckCr, status});
  // The report and its EOT are both acknowledged.
  for (int offset : {1, -1, 256})
    cases.push_back(
        {{.report_offset = offset}, rvFalse, kBadCount, true, kNakCr + kAckCr + kAckCr});
  // Silence after: the invitation (1), the ACK of the record (2), of its EOT
  // (3), the response (4), its EOT (5), the data invitation (6), the first
  // data ACK (7), the last (9), the ACK of the final EOT (10), the report (11).
  for (int silent_after : {1, 2, 3, 4, 5, 6, 7, 9, 10, 11})
    cases.push_back({Silent(silent_after), rvFalse, kTenTimeOuts, false});
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    ServerRig rig(Wiring::kDirect, {}, c.faults);
    rig.server->Script().status = c.status;
    // A refused file is never opened, so never created.
    rig.Expect(rig.Send("t.bin", c.status ? none : std::optional(Pattern(128 * 3))), c.result,
               c.description, c.line_up, "case " + std::to_string(i));
    EXPECT_EQ(std::filesystem::exists(rig.path), !c.status) << i;
    EXPECT_EQ(Tail(rig.port->HostWrote(), c.tail.size()), c.tail) << i;
    if (c.result == rvCTS) {
      // The second frame reached the server, but CTS fell before its ACK was read.
      EXPECT_EQ(rig.sent_events, Range(1, 1));
      EXPECT_EQ(rig.server->File("t"), Pattern(128 * 3).substr(0, 256));
    }
    if (!c.line_up) continue;
    // The same connection serves a second send, opened as the first was.
    rig.server->Faults() = {};
    rig.server->Script().status.reset();
    EXPECT_EQ(rig.Send("u.bin", Pattern(256)), rvTrue) << i;
    EXPECT_EQ(rig.server->File("u"), Pattern(256)) << i;
  }
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

// The opening as the component writes it: record frame, EOT, NAK.
constexpr std::size_t kOpening = 133 + 2 + 2;

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

TEST(ReceiveFile, FailuresLeaveTheirDescriptionLineStateAndLocalFile) {
  const std::string content = Pattern(128 * 10);
  const std::string two = Pattern(128 * 2, 2), four = Pattern(128 * 4, 2);
  struct Case {
    const char* what;
    sim::ServerFaults faults;
    ReturnValues result;
    std::string description;
    bool line_up;
    std::optional<std::string> local, local_after;
    std::string tail = "";  // the end of what the component wrote
    std::optional<std::uint8_t> status = none;
  };
  // Silence after the invitation, two ACKs and the response.
  const int kAfterResponse = 4;
  // A refusal is acknowledged, its EOT awaited and acknowledged.
  const std::string refusal = kNakCr + kAckCr + kAckCr;
  // clang-format off
  std::vector<Case> cases = {
      {"a refusal whose EOT never comes", Silent(kAfterResponse), rvFalse, kTenTimeOuts, false, none, none, "", 6},
      {"accepted, but no frame comes: the created file stays empty", Silent(kAfterResponse), rvFalse, kTenTimeOuts, false, none, ""},
      {"silence after three frames: nine NAKs ask for the fourth", Silent(kAfterResponse + 3), rvFalse, kTenTimeOuts, false, none, content.substr(0, 128 * 3), kAckCr + Repeat(kNakCr, 9)},
      {"carrier lost in the loop keeps the accepted blocks", LineLoss(7), rvCTS, kLineCut, false, none, content.substr(0, 128 * 7)},
      {"EOT in place of the response", {.eot_for_response = true}, rvFalse, kUnexpected, true, none, none},
      {"refused: no new file", {}, rvRefuse, kRefused + "6", true, none, none, refusal, 6},
      {"refused: the old file as it was", {}, rvRefuse, kRefused + "6", true, two, two, refusal, 6},
  };
  // clang-format on
  for (int silent_after : {0, 1, 2, 3})
    cases.push_back({"the opening exchange fails", Silent(silent_after), rvFalse, kTenTimeOuts,
                     false, four, four});
  for (const Case& c : cases) {
    ServerRig rig(Wiring::kDirect, {}, c.faults);
    rig.server->Script().status = c.status;
    rig.server->PutFile("f", content);
    if (c.local) WriteFile(rig.dir / "f", *c.local);
    rig.Expect(rig.Receive("f"), c.result, c.description, c.line_up, c.what);
    EXPECT_EQ(std::filesystem::exists(rig.path), c.local_after.has_value()) << c.what;
    EXPECT_EQ(ReadFile(rig.path), c.local_after.value_or("")) << c.what;
    EXPECT_EQ(Tail(rig.port->HostWrote(), c.tail.size()), c.tail) << c.what;
    if (!c.line_up) continue;
    // A second receive on the same connection opens as the first did.
    rig.server->Faults() = {};
    rig.server->Script().status.reset();
    std::filesystem::remove(rig.path);
    EXPECT_EQ(rig.Receive("f"), rvTrue) << c.what;
    EXPECT_EQ(ReadFile(rig.path), content) << c.what;
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
    if (c.edit) rig.line->edit = OnFirstSending(c.frame, c.edit);
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

TEST(ReceiveFile, GoesOnAtThePositionTheServerAnswersOrNotAtAll) {
  const std::string content = Pattern(128 * 50, 4);
  struct Case {
    std::optional<int> held;  // blocks here before
    std::int64_t answered;
    ReturnValues result;
    std::string description;
  };
  const auto beyond = [](std::int64_t answered, std::int64_t held) {
    return "Position de reprise du distant invalide : " + std::to_string(answered) +
           " blocs annoncés, " + std::to_string(held) + " blocs déjà reçus";
  };
  // clang-format off
  const Case cases[] = {
      {20, 20, rvTrue, ""},   // as asked
      {20, 0, rvTrue, ""},    // the server declines the resume: from the start
      {20, 7, rvTrue, ""},    // earlier than asked
      {20, 21, rvFalse, beyond(21, 20)}, {20, -3, rvFalse, beyond(-3, 20)},
      {0, 5, rvFalse, beyond(5, 0)}, {std::nullopt, 1, rvFalse, beyond(1, 0)},
  };
  // clang-format on
  for (const Case& c : cases) {
    const std::string what = std::to_string(c.held.value_or(-1)) + "@" + std::to_string(c.answered);
    ServerRig rig;
    rig.server->PutFile("f", content);
    rig.server->Script().receive_position = c.answered;
    // What was held is not the server's copy: a cut must remove it all.
    const std::string local = Pattern(128 * c.held.value_or(0), 99);
    if (c.held) WriteFile(rig.dir / "f", local);
    std::vector<std::pair<char, std::int64_t>> accepted;
    rig.module->TransferAccepted = [&](char sens, std::int64_t position) {
      accepted.emplace_back(sens, position);
      EXPECT_TRUE(rig.received_events.empty()) << what;
      EXPECT_EQ(ReadFile(rig.path), local) << what << ": cut only after the event";
    };
    rig.Expect(rig.Receive("f"), c.result, c.description, c.result == rvTrue, what);
    if (c.result == rvTrue) {
      EXPECT_EQ(ReadFile(rig.path),
                local.substr(0, 128 * c.answered) + content.substr(128 * c.answered))
          << what;
      EXPECT_EQ(rig.received_events, Range(static_cast<int32_t>(c.answered) + 1, 50)) << what;
      EXPECT_EQ(accepted, (std::vector<std::pair<char, std::int64_t>>{{'R', c.answered}})) << what;
    } else {
      // Hung up right after the response, the file as it was.
      EXPECT_EQ(rig.port->HostWrote().size(), kOpening) << what;
      EXPECT_EQ(std::filesystem::exists(rig.path), c.held.has_value()) << what;
      EXPECT_EQ(ReadFile(rig.path), local) << what;
      EXPECT_TRUE(accepted.empty()) << what;
    }
  }
}

TEST(ReceiveFile, ThroughADescriptorTheHostOpenedNothingIsLookedUpByName) {
  const std::string content = Pattern(128 * 50, 6);
  struct Case {
    const char* what;
    // Blocks in the host's file, or how the descriptor is opened wrong.
    int held;
    int flags;
    std::optional<std::int64_t> answered;
    ReturnValues result;
    std::string request;  // Reprise and the three position bytes
  };
  // clang-format off
  const Case cases[] = {
      {"an empty file: the whole file", 0, O_RDWR, none, rvTrue, Bytes({'0', 0, 0, 0})},
      {"20 blocks: resumed after them", 20, O_WRONLY, none, rvTrue, Bytes({'1', 0, 0, 20})},
      {"20 blocks, the server answers 7: cut to 7", 20, O_RDWR, 7, rvTrue, Bytes({'1', 0, 0, 20})},
      {"open for reading only", 20, O_RDONLY, none, rvFalse, ""},
      {"a folder", 0, O_RDONLY | O_DIRECTORY, none, rvFalse, ""},
      {"no descriptor", 0, -1, none, rvFalse, ""},
  };
  // clang-format on
  for (const Case& c : cases) {
    ServerRig rig;
    rig.server->PutFile("FACT", content);
    rig.server->Script().receive_position = c.answered;
    // The name given is another file, which must stay as it is.
    const std::string named = rig.dir / "FACT.TXT";
    WriteFile(named, "autre fichier");
    const std::string held = rig.dir / "held";
    WriteFile(held, content.substr(0, 128 * c.held));
    const std::string opened = (c.flags & O_DIRECTORY) != 0 ? rig.dir.path().string() : held;
    const int fd = c.flags < 0 ? -1 : ::open(opened.c_str(), c.flags | O_CLOEXEC);
    ASSERT_TRUE(c.flags < 0 || fd >= 0) << c.what;
    const ReturnValues result = rig.module->ReceiveFileToDescriptor("u", "p", named, "0", fd);
    EXPECT_EQ(ReadFile(named), "autre fichier") << c.what;
    if (c.result != rvTrue) {
      rig.Expect(result, rvFalse, "Erreur ouverture " + named, false, c.what);
      EXPECT_TRUE(rig.port->HostWrote().empty()) << c.what << ": nothing went on the line";
      EXPECT_EQ(ReadFile(held), content.substr(0, 128 * c.held)) << c.what;
    } else {
      rig.Expect(result, rvTrue, "", true, c.what);
      EXPECT_EQ(rig.server->Transfers().at(0).record.substr(110, 1) +
                    rig.server->Transfers().at(0).record.substr(116, 3),
                c.request)
          << c.what;
      EXPECT_EQ(ReadFile(held), content) << c.what;
      const std::int64_t from = c.answered.value_or(c.held);
      EXPECT_EQ(rig.received_events, Range(static_cast<int32_t>(from) + 1, 50)) << c.what;
      // Still open, the offset at the end.
      EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 128 * 50) << c.what;
    }
    if (fd >= 0) {
      EXPECT_EQ(::close(fd), 0) << c.what << ": the descriptor stays the host's";
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
