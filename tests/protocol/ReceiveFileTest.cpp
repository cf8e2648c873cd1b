// ReceiveFile against the simulated server: creation after acceptance, the
// resume request from the local file, repeated and corrupted frames, line loss
// and every failure with its line state and local file.
#include <gtest/gtest.h>
#include <unistd.h>

#include "ProtocolRig.h"
#include "protocol/AnswerCollector.h"
#include "protocol/Frame.h"

namespace xmodemquarvel::testing {
namespace {

using Wiring = ServerRig::Wiring;

const std::string kTenTimeOuts =
    "Pas de réponse dans le délai imparti\r\n10 tentatives infructueuses";

std::vector<int32_t> Range(int32_t first, int32_t last) {
  std::vector<int32_t> out;
  for (int32_t n = first; n <= last; ++n) out.push_back(n);
  return out;
}

TEST(ReceiveFile, TwoFramesThenEotCreateTheFile) {
  ServerRig rig;
  const std::string content = Pattern(256);
  rig.server->PutFile("two", content);
  const std::string path = rig.dir / "two.txt";
  ASSERT_EQ(rig.module->ReceiveFile("u", "p", path, "0"), rvTrue);
  EXPECT_EQ(ReadFile(path), content);
  EXPECT_EQ(rig.received_events, Range(1, 2));
  EXPECT_EQ(rig.module->ErrorSource(), "Xmodem: ReceiveFile");
  EXPECT_EQ(rig.module->ErrorDescription(), "");
  EXPECT_TRUE(rig.port->PortOpen());
  const auto& t = rig.server->Transfers().at(0);
  EXPECT_EQ(t.sens, 'R');
  EXPECT_EQ(t.reprise, '0');
  EXPECT_EQ(t.record.substr(116, 3), std::string(3, '\0'));
  EXPECT_TRUE(t.completed);
  // ACK of the response, of each frame, and of the EOT.
  const std::string& wire = rig.port->HostWrote();
  EXPECT_EQ(wire.substr(wire.size() - 10), Bytes({21, 13, 6, 13, 6, 13, 6, 13, 6, 13}));
}

TEST(ReceiveFile, EotAtOnceCreatesAnEmptyFile) {
  ServerRig rig;
  rig.server->PutFile("empty", "");
  const std::string path = rig.dir / "empty";
  ASSERT_EQ(rig.module->ReceiveFile("u", "p", path, "0"), rvTrue);
  ASSERT_TRUE(std::filesystem::exists(path));
  EXPECT_EQ(std::filesystem::file_size(path), 0u);
  EXPECT_TRUE(rig.received_events.empty());
}

TEST(ReceiveFile, ResumeRequestFollowsTheLocalFileSize) {
  struct Case {
    std::size_t local_bytes;
    char reprise;
    std::string position;
    std::int32_t first_event;
  };
  const std::vector<Case> cases = {
      {0, '0', Bytes({0, 0, 0}), 1},
      {128 * 200, '1', Bytes({0, 0, 200}), 201},
      {128 * 300, '1', Bytes({1, 0, 44}), 301},
      {128 * 300 + 64, '1', Bytes({1, 0, 44}), 301},  // 300.5 rounds to 300
      {128 * 301 + 64, '1', Bytes({1, 0, 46}), 303},  // 301.5 rounds to 302
      {40, '0', Bytes({0, 0, 0}), 1},                 // 0.3 rounds to 0
  };
  for (const Case& c : cases) {
    ServerRig rig;
    const std::string content = Pattern(128 * 320);
    rig.server->PutFile("resume", content);
    const std::string path = rig.dir / "resume.dat";
    const std::string local = content.substr(0, c.local_bytes);
    WriteFile(path, local);
    ASSERT_EQ(rig.module->ReceiveFile("u", "p", path, "0"), rvTrue) << c.local_bytes;
    const auto& t = rig.server->Transfers().at(0);
    EXPECT_EQ(t.reprise, c.reprise) << c.local_bytes;
    EXPECT_EQ(t.record.substr(116, 3), c.position) << c.local_bytes;
    const std::int64_t blocks = protocol::ReadPosition(t.record).Blocks();
    // Everything after the local bytes is appended, whatever their size.
    EXPECT_EQ(ReadFile(path), local + content.substr(static_cast<std::size_t>(blocks) * 128))
        << c.local_bytes;
    ASSERT_FALSE(rig.received_events.empty());
    EXPECT_EQ(rig.received_events.front(), c.first_event) << c.local_bytes;
    EXPECT_EQ(rig.received_events.back(), 320 - blocks + c.first_event - 1) << c.local_bytes;
  }
}

TEST(ReceiveFile, ResumeFromAnExisting200BlockFileEndsByteIdentical) {
  ServerRig rig;
  const std::string content = Pattern(128 * 520, 5);
  rig.server->PutFile("journal", content);
  const std::string path = rig.dir / "journal.log";
  WriteFile(path, content.substr(0, 128 * 200));
  ASSERT_EQ(rig.module->ReceiveFile("u", "p", path, "0"), rvTrue);
  EXPECT_EQ(ReadFile(path), content);
  // Frame numbers start again at 1 and wrap after 255 while the count goes on.
  EXPECT_EQ(rig.received_events, Range(201, 520));
}

TEST(ReceiveFile, MoreThan255Frames) {
  ServerRig rig;
  const std::string content = Pattern(128 * 700, 9);
  rig.server->PutFile("many", content);
  const std::string path = rig.dir / "many";
  ASSERT_EQ(rig.module->ReceiveFile("u", "p", path, "0"), rvTrue);
  EXPECT_EQ(ReadFile(path), content);
  EXPECT_EQ(rig.received_events, Range(1, 700));
}

TEST(ReceiveFile, ARepeatedFrameIsWrittenOnce) {
  sim::ServerFaults faults;
  faults.repeat_frame = 3;
  ServerRig rig(Wiring::kDirect, {}, faults);
  const std::string content = Pattern(128 * 6);
  rig.server->PutFile("rep", content);
  const std::string path = rig.dir / "rep";
  ASSERT_EQ(rig.module->ReceiveFile("u", "p", path, "0"), rvTrue);
  EXPECT_EQ(ReadFile(path), content);
  EXPECT_EQ(rig.received_events, Range(1, 6));
  // The repetition was acknowledged with ACK, never NAK.
  EXPECT_EQ(rig.port->HostWrote().find(Bytes({21, 13}), 140 * 2), std::string::npos);
}

TEST(ReceiveFile, ACorruptedFrameIsAskedForAgainWithNak) {
  sim::ServerFaults faults;
  faults.corrupt_frame = 2;
  ServerRig rig(Wiring::kDirect, {}, faults);
  const std::string content = Pattern(128 * 4);
  rig.server->PutFile("bad", content);
  const std::string path = rig.dir / "bad";
  ASSERT_EQ(rig.module->ReceiveFile("u", "p", path, "0"), rvTrue);
  EXPECT_EQ(ReadFile(path), content);
  const std::string& wire = rig.port->HostWrote();
  // After the opening: ACK (response), ACK (frame 1), NAK (bad frame 2), ACK
  // (frame 2), ACK (frame 3), ACK (frame 4), ACK (EOT).
  const std::size_t opening = 133 + 2 + 2;
  EXPECT_EQ(wire.substr(opening), Bytes({6, 13, 6, 13, 21, 13, 6, 13, 6, 13, 6, 13, 6, 13}));
}

TEST(ReceiveFile, ProgressEventsOnlyWhileTracing) {
  ServerRig rig;
  rig.module->Trace(false);
  rig.server->PutFile("q", Pattern(128 * 3));
  const std::string path = rig.dir / "q";
  ASSERT_EQ(rig.module->ReceiveFile("u", "p", path, "0"), rvTrue);
  EXPECT_TRUE(rig.received_events.empty());
  EXPECT_EQ(ReadFile(path), Pattern(128 * 3));
}

TEST(ReceiveFile, RefusalLeavesTheLocalFileAsItWas) {
  for (const bool existing : {false, true}) {
    ServerRig rig;
    const std::string path = rig.dir / "absent.txt";
    if (existing) WriteFile(path, Pattern(128 * 2));
    EXPECT_EQ(rig.module->ReceiveFile("u", "p", path, "0"), rvRefuse);
    EXPECT_EQ(rig.module->ErrorDescription(), "Transfert refusé, status 6");
    EXPECT_TRUE(rig.port->PortOpen());
    EXPECT_EQ(std::filesystem::exists(path), existing);
    if (existing) {
      EXPECT_EQ(ReadFile(path), Pattern(128 * 2));
    }
    // ACK, wait for EOT, ACK.
    const std::string& wire = rig.port->HostWrote();
    EXPECT_EQ(wire.substr(wire.size() - 6), Bytes({21, 13, 6, 13, 6, 13}));
    // A second receive on the same connection opens as the first did.
    rig.server->PutFile("absent", Pattern(128 * 5));
    ASSERT_EQ(rig.module->ReceiveFile("u", "p", path, "0"), rvTrue);
    EXPECT_EQ(ReadFile(path), Pattern(128 * 5));
  }
}

TEST(ReceiveFile, RefusalStatusesFromTheServersJudgement) {
  struct Case {
    const char* user;
    const char* password;
    std::int64_t local_blocks;
    char digit;
  };
  for (const Case c : {Case{"nobody", "x", 0, '2'}, Case{"alice", "wrong", 0, '3'},
                       Case{"alice", "secret", 9, '5'}}) {
    sim::ServerScript script;
    script.users = {{"alice", "secret"}};
    ServerRig rig(Wiring::kDirect, script);
    rig.server->PutFile("f", Pattern(128 * 4));
    const std::string path = rig.dir / "f";
    if (c.local_blocks > 0)
      WriteFile(path, Pattern(128 * static_cast<std::size_t>(c.local_blocks)));
    EXPECT_EQ(rig.module->ReceiveFile(c.user, c.password, path, "0"), rvRefuse);
    EXPECT_EQ(rig.module->ErrorDescription(), std::string("Transfert refusé, status ") + c.digit);
  }
}

TEST(ReceiveFile, RefusalWhoseEotNeverComesReportsTheFailedWait) {
  sim::ServerScript script;
  script.status = 6;
  sim::ServerFaults faults;
  faults.silent_after_messages = 4;  // invitation, two ACKs, the response
  ServerRig rig(Wiring::kDirect, script, faults);
  const std::string path = rig.dir / "x";
  EXPECT_EQ(rig.module->ReceiveFile("u", "p", path, "0"), rvFalse);
  EXPECT_EQ(rig.module->ErrorDescription(), kTenTimeOuts);
  EXPECT_FALSE(rig.port->PortOpen());
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(ReceiveFile, AcceptedButNoFrameComesLeavesTheCreatedFileEmpty) {
  sim::ServerFaults faults;
  faults.silent_after_messages = 4;
  ServerRig rig(Wiring::kDirect, {}, faults);
  rig.server->PutFile("late", Pattern(128 * 3));
  const std::string path = rig.dir / "late";
  EXPECT_EQ(rig.module->ReceiveFile("u", "p", path, "0"), rvFalse);
  EXPECT_EQ(rig.module->ErrorDescription(), kTenTimeOuts);
  EXPECT_FALSE(rig.port->PortOpen());
  ASSERT_TRUE(std::filesystem::exists(path));
  EXPECT_EQ(std::filesystem::file_size(path), 0u);
}

TEST(ReceiveFile, AFailedOpeningExchangeLeavesTheLocalFileUnchanged) {
  for (const int silent_after : {0, 1, 2, 3}) {
    sim::ServerFaults faults;
    faults.silent_after_messages = silent_after;
    ServerRig rig(Wiring::kDirect, {}, faults);
    rig.server->PutFile("kept", Pattern(128 * 9));
    const std::string path = rig.dir / "kept";
    WriteFile(path, Pattern(128 * 4));
    EXPECT_EQ(rig.module->ReceiveFile("u", "p", path, "0"), rvFalse) << silent_after;
    EXPECT_EQ(rig.module->ErrorDescription(), kTenTimeOuts);
    EXPECT_FALSE(rig.port->PortOpen());
    EXPECT_EQ(ReadFile(path), Pattern(128 * 4));
  }
  // EOT in place of the response: the line stays up.
  sim::ServerFaults faults;
  faults.eot_for_response = true;
  ServerRig rig(Wiring::kDirect, {}, faults);
  const std::string path = rig.dir / "none";
  EXPECT_EQ(rig.module->ReceiveFile("u", "p", path, "0"), rvFalse);
  EXPECT_EQ(rig.module->ErrorDescription(), "Réponse inattendue du distant");
  EXPECT_TRUE(rig.port->PortOpen());
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(ReceiveFile, OpeningFailuresOfTheLocalFile) {
  ServerRig rig;
  // A directory cannot be opened for appending.
  const std::string directory = rig.dir / "sub";
  std::filesystem::create_directory(directory);
  EXPECT_EQ(rig.module->ReceiveFile("u", "p", directory, "0"), rvFalse);
  EXPECT_EQ(rig.module->ErrorDescription(), "Erreur ouverture " + directory);
  EXPECT_FALSE(rig.port->PortOpen());
  EXPECT_TRUE(rig.port->HostWrote().empty()) << "nothing went on the line";

  // 2^24 blocks (rounded) are more than the position can express.
  for (const std::int64_t size : {std::int64_t{1} << 31, (std::int64_t{1} << 31) - 64}) {
    rig.Reconnect();
    const std::string huge = rig.dir / "huge";
    {
      WriteFile(huge, "");
      ASSERT_EQ(::truncate(huge.c_str(), size), 0);
    }
    EXPECT_EQ(rig.module->ReceiveFile("u", "p", huge, "0"), rvFalse) << size;
    EXPECT_EQ(rig.module->ErrorDescription(), "Erreur ouverture " + huge);
    EXPECT_EQ(static_cast<std::int64_t>(std::filesystem::file_size(huge)), size);
    EXPECT_FALSE(rig.port->PortOpen());
  }
}

TEST(ReceiveFile, ANewFileThatCannotBeCreatedFailsTheCallWithTheLineUp) {
  ServerRig rig;
  rig.server->PutFile("f", Pattern(128));
  const std::string path = rig.dir / "no/such/dir/f";
  EXPECT_THROW(rig.module->ReceiveFile("u", "p", path, "0"), std::system_error);
  EXPECT_TRUE(rig.port->PortOpen());
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(ReceiveFile, CarrierLostInTheLoopKeepsTheAcceptedBlocks) {
  sim::ServerFaults faults;
  faults.line_loss_after_frames = 7;
  ServerRig rig(Wiring::kDirect, {}, faults);
  const std::string content = Pattern(128 * 20);
  rig.server->PutFile("cut", content);
  const std::string path = rig.dir / "cut";
  EXPECT_EQ(rig.module->ReceiveFile("u", "p", path, "0"), rvCTS);
  EXPECT_EQ(rig.module->ErrorDescription(), "La ligne est coupée");
  EXPECT_FALSE(rig.port->PortOpen());
  EXPECT_EQ(ReadFile(path), content.substr(0, 128 * 7));
}

TEST(ReceiveFile, LineLossAfter50FramesThenAResumeThroughTheModem) {
  sim::ServerFaults faults;
  faults.line_loss_after_frames = 50;
  ServerRig rig(Wiring::kModem, {}, faults);
  const std::string content = Pattern(128 * 333 + 128, 21);
  rig.server->PutFile("stmt", content);
  const std::string path = rig.dir / "stmt.txt";

  ASSERT_EQ(rig.Connect(), rvTrue) << rig.module->ErrorDescription();
  const ReturnValues first = rig.module->ReceiveFile("u", "p", path, "0");
  EXPECT_TRUE(first == rvCTS || first == rvFalse) << first;
  EXPECT_FALSE(rig.port->PortOpen());
  EXPECT_EQ(ReadFile(path), content.substr(0, 128 * 50));
  EXPECT_EQ(std::filesystem::file_size(path), 6'400u);

  rig.server->Faults().line_loss_after_frames = -1;
  ASSERT_EQ(rig.Connect(), rvTrue) << rig.module->ErrorDescription();
  rig.received_events.clear();
  ASSERT_EQ(rig.module->ReceiveFile("u", "p", path, "0"), rvTrue) << rig.module->ErrorDescription();
  rig.module->Disconnect();
  const auto& second = rig.server->Transfers().back();
  EXPECT_EQ(second.reprise, '1');
  EXPECT_EQ(second.requested_position, 50);
  EXPECT_EQ(ReadFile(path), content);
  EXPECT_EQ(rig.received_events.front(), 51);
  EXPECT_EQ(rig.received_events.back(), 334);
  EXPECT_FALSE(rig.port->PortOpen());
}

TEST(ReceiveFile, AnExchangeThatTimesOutDropsTheLineAndKeepsWhatCame) {
  // Silence after the first three data frames.
  sim::ServerFaults faults;
  faults.silent_after_messages = 4 + 3;
  ServerRig rig(Wiring::kDirect, {}, faults);
  const std::string content = Pattern(128 * 10);
  rig.server->PutFile("slow", content);
  const std::string path = rig.dir / "slow";
  EXPECT_EQ(rig.module->ReceiveFile("u", "p", path, "0"), rvFalse);
  EXPECT_EQ(rig.module->ErrorDescription(), kTenTimeOuts);
  EXPECT_FALSE(rig.port->PortOpen());
  EXPECT_EQ(ReadFile(path), content.substr(0, 128 * 3));
  // Nine NAKs asked for the fourth frame after the first ACK.
  const std::string& wire = rig.port->HostWrote();
  std::string tail;
  for (int i = 0; i < 9; ++i) tail += Bytes({21, 13});
  EXPECT_EQ(wire.substr(wire.size() - tail.size()), tail);
}

}  // namespace
}  // namespace xmodemquarvel::testing
