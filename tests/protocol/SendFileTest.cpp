// SendFile against the simulated server: whole exchanges on the virtual clock,
// the resume, the closing report and every failure with its line state.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <numeric>

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

// The data frames the component wrote, in order (opening record excluded).
std::vector<std::string> DataFramesWritten(const std::string& wire) {
  std::vector<std::string> frames;
  std::string rx;
  for (char c : wire)
    if (protocol::CollectAnswerByte(rx, c)) {
      if (rx.size() == 133) frames.push_back(rx);
      rx.clear();
    }
  if (!frames.empty()) frames.erase(frames.begin());
  return frames;
}

TEST(SendFile, EmptyFileSendsOnlyEotAndNeedsAnUnchangedCount) {
  ServerRig rig;
  const std::string path = rig.dir / "empty.txt";
  WriteFile(path, "");
  ASSERT_EQ(rig.module->SendFile("user", "pw", path, "0"), rvTrue);
  EXPECT_EQ(rig.module->ErrorSource(), "Xmodem: SendFile");
  EXPECT_EQ(rig.module->ErrorDescription(), "");
  EXPECT_TRUE(DataFramesWritten(rig.port->HostWrote()).empty());
  ASSERT_EQ(rig.server->Transfers().size(), 1u);
  EXPECT_TRUE(rig.server->Transfers()[0].completed);
  EXPECT_EQ(rig.server->File("empty"), std::string());
  EXPECT_TRUE(rig.sent_events.empty());
  EXPECT_TRUE(rig.port->PortOpen());
  EXPECT_EQ(rig.NowMs(), 0) << "nothing waited";
}

TEST(SendFile, ThreeHundredBytesGoAsTwoFramesAndTheTailStaysHome) {
  ServerRig rig;
  const std::string path = rig.dir / "three.dat";
  const std::string content = Pattern(300);
  WriteFile(path, content);
  ASSERT_EQ(rig.module->SendFile("user", "pw", path, "0"), rvTrue);
  const auto frames = DataFramesWritten(rig.port->HostWrote());
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0], protocol::BuildFrame(1, content.substr(0, 128)) + "\r");
  EXPECT_EQ(frames[1], protocol::BuildFrame(2, content.substr(128, 128)) + "\r");
  EXPECT_EQ(rig.server->File("three"), content.substr(0, 256));
  EXPECT_EQ(rig.sent_events, Range(1, 2));
  EXPECT_EQ(ReadFile(path), content) << "the file is only read";
}

TEST(SendFile, TheWholeExchangeIsExactOnTheLine) {
  ServerRig rig;
  const std::string path = rig.dir / "one.dat";
  const std::string content = Pattern(128);
  WriteFile(path, content);
  ASSERT_EQ(rig.module->SendFile("u", "p", path, "0"), rvTrue);
  const std::string& record = rig.server->Transfers()[0].record;
  const std::string expected = protocol::BuildFrame(0, record) + "\r" + Bytes({4, 13, 21, 13}) +
                               Bytes({6, 13, 6, 13}) + protocol::BuildFrame(1, content) + "\r" +
                               Bytes({4, 13, 21, 13, 6, 13, 6, 13});
  EXPECT_EQ(rig.port->HostWrote(), expected);
}

TEST(SendFile, AMissingFileIsCreatedEmptyAndSent) {
  ServerRig rig;
  const std::string path = rig.dir / "missing.txt";
  ASSERT_EQ(rig.module->SendFile("u", "p", path, "0"), rvTrue);
  EXPECT_TRUE(std::filesystem::exists(path));
  EXPECT_EQ(std::filesystem::file_size(path), 0u);
  EXPECT_EQ(rig.server->File("missing"), std::string());
}

TEST(SendFile, MoreThan255FramesWrapTheirNumbers) {
  ServerRig rig;
  rig.port->Record(true);
  const std::string path = rig.dir / "big.bin";
  const std::string content = Pattern(128 * 600 + 5);
  WriteFile(path, content);
  ASSERT_EQ(rig.module->SendFile("u", "p", path, "0"), rvTrue);
  EXPECT_EQ(rig.server->File("big"), content.substr(0, 128 * 600));
  const auto frames = DataFramesWritten(rig.port->HostWrote());
  ASSERT_EQ(frames.size(), 600u);
  EXPECT_EQ(static_cast<unsigned char>(frames[254][1]), 255);
  EXPECT_EQ(static_cast<unsigned char>(frames[255][1]), 0);
  EXPECT_EQ(static_cast<unsigned char>(frames[256][1]), 1);
  EXPECT_EQ(rig.sent_events, Range(1, 600));
}

TEST(SendFile, ResumeAtThreeHundredBlocksSkipsWhatTheServerHolds) {
  sim::ServerScript script;
  script.resume_sends = true;
  ServerRig rig(Wiring::kDirect, script);
  const std::string path = rig.dir / "resume.bin";
  const std::string content = Pattern(128 * 310);
  WriteFile(path, content);
  rig.server->PutFile("resume", content.substr(0, 128 * 300));
  ASSERT_EQ(rig.module->SendFile("u", "p", path, "0"), rvTrue);
  const auto frames = DataFramesWritten(rig.port->HostWrote());
  ASSERT_EQ(frames.size(), 10u);
  // Record 301 goes first, under number 1.
  EXPECT_EQ(frames[0], protocol::BuildFrame(1, content.substr(128 * 300, 128)) + "\r");
  EXPECT_EQ(rig.sent_events, Range(301, 310));
  EXPECT_EQ(rig.server->File("resume"), content);
}

TEST(SendFile, ResumePositionsBeyondTheEndAndNegative) {
  struct Case {
    std::int64_t position;
    std::size_t frames;
    std::vector<int32_t> events;
  };
  for (const Case& c : {Case{1000, 0, {}}, Case{10, 0, {}}, Case{-256, 10, Range(-255, -246)},
                        Case{-3, 10, Range(-2, 7)}}) {
    sim::ServerScript script;
    script.send_position = c.position;
    ServerRig rig(Wiring::kDirect, script);
    const std::string path = rig.dir / "pos.bin";
    const std::string content = Pattern(128 * 10);
    WriteFile(path, content);
    ASSERT_EQ(rig.module->SendFile("u", "p", path, "0"), rvTrue) << c.position;
    const auto frames = DataFramesWritten(rig.port->HostWrote());
    EXPECT_EQ(frames.size(), c.frames) << c.position;
    if (!frames.empty()) {
      EXPECT_EQ(frames[0], protocol::BuildFrame(1, content.substr(0, 128)) + "\r");
    }
    EXPECT_EQ(rig.sent_events, c.events) << c.position;
  }
}

TEST(SendFile, ProgressEventsOnlyWhileTracing) {
  ServerRig rig;
  rig.module->Trace(false);
  const std::string path = rig.dir / "quiet.bin";
  WriteFile(path, Pattern(128 * 3));
  ASSERT_EQ(rig.module->SendFile("u", "p", path, "0"), rvTrue);
  EXPECT_TRUE(rig.sent_events.empty());
  EXPECT_EQ(rig.server->File("quiet"), Pattern(128 * 3));
}

TEST(SendFile, AHandlerThatChangesNumBlocChangesTheCount) {
  ServerRig rig;
  rig.module->BlocSended = [&](int32_t& n) {
    rig.sent_events.push_back(n);
    n += 10;
  };
  const std::string path = rig.dir / "h.bin";
  WriteFile(path, Pattern(128 * 3));
  ASSERT_EQ(rig.module->SendFile("u", "p", path, "0"), rvTrue);
  EXPECT_EQ(rig.sent_events, (std::vector<int32_t>{1, 12, 23}));
}

TEST(SendFile, RefusalLeavesTheLineUpAndTheFileUnopened) {
  for (std::uint8_t status : {1, 3, 7, 8}) {
    sim::ServerScript script;
    script.status = status;
    ServerRig rig(Wiring::kDirect, script);
    const std::string path = rig.dir / "never.txt";
    EXPECT_EQ(rig.module->SendFile("u", "p", path, "0"), rvRefuse);
    EXPECT_EQ(rig.module->ErrorDescription(), "Transfert refusé, status " + std::to_string(status));
    EXPECT_TRUE(rig.port->PortOpen());
    EXPECT_FALSE(std::filesystem::exists(path)) << "never opened";
    // One ACK written without waiting ends the refusal.
    const std::string& wire = rig.port->HostWrote();
    EXPECT_EQ(wire.substr(wire.size() - 4), Bytes({6, 13, 6, 13}));
    // The same connection serves a second send, opened as the first was.
    rig.server->Script().status.reset();
    WriteFile(path, Pattern(256));
    EXPECT_EQ(rig.module->SendFile("u", "p", path, "0"), rvTrue);
    EXPECT_EQ(rig.server->File("never"), Pattern(256));
  }
}

TEST(SendFile, EotInsteadOfTheReportIsAnUnexpectedAnswer) {
  sim::ServerFaults faults;
  faults.eot_for_report = true;
  ServerRig rig(Wiring::kDirect, {}, faults);
  const std::string path = rig.dir / "r.bin";
  WriteFile(path, Pattern(128 * 2));
  EXPECT_EQ(rig.module->SendFile("u", "p", path, "0"), rvFalse);
  EXPECT_EQ(rig.module->ErrorDescription(), "Réponse inattendue du distant");
  EXPECT_TRUE(rig.port->PortOpen());
}

TEST(SendFile, AWrongCountInTheReportFailsWithTheLineUp) {
  for (int offset : {1, -1, 256}) {
    sim::ServerFaults faults;
    faults.report_offset = offset;
    ServerRig rig(Wiring::kDirect, {}, faults);
    const std::string path = rig.dir / "c.bin";
    WriteFile(path, Pattern(128 * 4));
    EXPECT_EQ(rig.module->SendFile("u", "p", path, "0"), rvFalse) << offset;
    EXPECT_EQ(rig.module->ErrorDescription(), "Nombre de blocs recus <> nombre de blocs transmis");
    EXPECT_TRUE(rig.port->PortOpen());
    // The report and its EOT were both acknowledged.
    const std::string& wire = rig.port->HostWrote();
    EXPECT_EQ(wire.substr(wire.size() - 6), Bytes({21, 13, 6, 13, 6, 13}));
  }
}

TEST(SendFile, AnExchangeThatTimesOutDropsTheLine) {
  // Silence after: the invitation (1), the ACK of the record (2), of its EOT
  // (3), the response (4), its EOT (5), the data invitation (6), the first
  // data ACK (7), the last (9), the ACK of the final EOT (10), the report (11).
  for (int silent_after : {1, 2, 3, 4, 5, 6, 7, 9, 10, 11}) {
    sim::ServerFaults faults;
    faults.silent_after_messages = silent_after;
    ServerRig rig(Wiring::kDirect, {}, faults);
    const std::string path = rig.dir / "t.bin";
    WriteFile(path, Pattern(128 * 3));
    EXPECT_EQ(rig.module->SendFile("u", "p", path, "0"), rvFalse) << silent_after;
    EXPECT_EQ(rig.module->ErrorDescription(), kTenTimeOuts) << silent_after;
    EXPECT_FALSE(rig.port->PortOpen()) << silent_after;
  }
}

TEST(SendFile, LineLossDuringTheDataIsReportedAsCut) {
  sim::ServerFaults faults;
  faults.line_loss_after_frames = 5;
  ServerRig rig(Wiring::kDirect, {}, faults);
  const std::string path = rig.dir / "l.bin";
  WriteFile(path, Pattern(128 * 20));
  EXPECT_EQ(rig.module->SendFile("u", "p", path, "0"), rvCTS);
  EXPECT_EQ(rig.module->ErrorDescription(), "La ligne est coupée");
  EXPECT_FALSE(rig.port->PortOpen());
  // The fifth frame reached the server, but CTS fell before its ACK was read.
  EXPECT_EQ(rig.sent_events, Range(1, 4));
  EXPECT_EQ(rig.server->File("l"), Pattern(128 * 5));
}

TEST(SendFile, AFileThatCannotBeOpenedDropsTheLine) {
  ServerRig rig;
  for (const std::string& path : {rig.dir.path().string(), rig.dir / "no/such/dir/f.txt"}) {
    rig.Reconnect();
    EXPECT_EQ(rig.module->SendFile("u", "p", path, "0"), rvFalse);
    EXPECT_EQ(rig.module->ErrorDescription(), "Erreur ouverture " + path);
    EXPECT_EQ(rig.module->ErrorSource(), "Xmodem: SendFile");
    EXPECT_FALSE(rig.port->PortOpen());
  }
}

TEST(SendFile, AFileThatCannotBePositionedDropsTheLine) {
  sim::ServerScript script;
  script.send_position = 5;
  ServerRig rig(Wiring::kDirect, script);
  const std::string path = rig.dir / "pipe";
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  EXPECT_EQ(rig.module->SendFile("u", "p", path, "0"), rvFalse);
  EXPECT_EQ(rig.module->ErrorDescription(), "Repositionnement en 5 impossible");
  EXPECT_FALSE(rig.port->PortOpen());
}

TEST(SendFile, RetriesThroughACorruptedAnswerAndLostAcknowledgements) {
  sim::ServerFaults faults;
  faults.seed = 11;
  faults.drop = 0.2;
  faults.corrupt = 0.5;
  faults.noise = 0.3;
  ServerRig rig(Wiring::kDirect, {}, faults);
  const std::string path = rig.dir / "noisy.bin";
  WriteFile(path, Pattern(128 * 40));
  ASSERT_EQ(rig.module->SendFile("u", "p", path, "0"), rvTrue) << rig.module->ErrorDescription();
  EXPECT_EQ(rig.server->File("noisy"), Pattern(128 * 40));
  EXPECT_GT(rig.NowMs(), 10'000) << "some answers were lost and waited for";
}

TEST(SendFile, WholeExchangeThroughTheModem) {
  ServerRig rig(Wiring::kModem);
  const std::string path = rig.dir / "modem.bin";
  const std::string content = Pattern(128 * 70 + 3);
  WriteFile(path, content);
  ASSERT_EQ(rig.Connect(), rvTrue) << rig.module->ErrorDescription();
  ASSERT_EQ(rig.module->SendFile("u", "p", path, "0"), rvTrue) << rig.module->ErrorDescription();
  rig.module->Disconnect();
  EXPECT_FALSE(rig.port->PortOpen());
  EXPECT_EQ(rig.server->File("modem"), content.substr(0, 128 * 70));
  EXPECT_EQ(rig.modem->HangUps(), 1);
}

}  // namespace
}  // namespace xmodemquarvel::testing
