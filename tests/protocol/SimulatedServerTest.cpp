// The simulated server on its own, driven byte by byte through a recording
// line: how it judges requests, invites, stores and serves, and its faults.
#include <gtest/gtest.h>

#include "ProtocolRig.h"
#include "protocol/AnswerCollector.h"
#include "protocol/ControlDigits.h"
#include "protocol/Frame.h"

namespace xmodemquarvel::testing {
namespace {

using protocol::BuildFrame;

class RecordingLine final : public sim::Line {
 public:
  explicit RecordingLine(VirtualClock& clock) : clock_(clock) {}
  void SendToHost(std::string_view bytes) override { sent.append(bytes); }
  void SetCts(bool on) override { cts = on; }
  void SetCd(bool on) override { cd = on; }
  void After(Clock::Duration delay, std::function<void()> action) override {
    clock_.ScheduleAfter(delay, std::move(action));
  }
  // The messages sent since the last call, as the component would collect them.
  std::vector<std::string> Messages() {
    std::vector<std::string> out;
    std::string rx;
    for (char c : sent.substr(read_))
      if (protocol::CollectAnswerByte(rx, c)) {
        out.push_back(rx);
        rx.clear();
      }
    read_ = sent.size();
    return out;
  }
  std::string sent;
  bool cts = true;
  bool cd = true;

 private:
  VirtualClock& clock_;
  std::size_t read_ = 0;
};

std::string Request(const std::string& user, char sens, char reprise, std::int64_t position,
                    const std::string& base = "file") {
  std::string r = "V2.0";
  r += (user + std::string(40, ' ')).substr(0, 40);
  r += std::string(40, ' ');
  r += (base + std::string(17, ' ')).substr(0, 17);
  r += "   0128";
  r += '\0';
  r += sens;
  r += reprise;
  r += "0    ";
  r += protocol::EncodePosition(position);
  r += "CA0";
  r += std::string(6, '\0');
  protocol::ApplyControlPart(r);
  return r;
}

std::string Wire(const std::string& frame132) {
  return frame132 + "\r";
}
const std::string kAck = Bytes({6, 13});
const std::string kNak = Bytes({21, 13});
const std::string kEot = Bytes({4, 13});

struct ServerBench {
  explicit ServerBench(sim::ServerScript script = {}, sim::ServerFaults faults = {})
      : line(clock), server(line, std::move(script), faults) {
    server.Start();
  }
  // Sends the request and asks for the response; returns the response frame.
  std::string Open(const std::string& request) {
    line.Messages();
    server.OnHostBytes(Wire(BuildFrame(0, request)));
    server.OnHostBytes(kEot);
    server.OnHostBytes(kNak);
    const auto messages = line.Messages();
    EXPECT_EQ(messages.size(), 3u);
    return messages.empty() ? "" : messages.back();
  }
  VirtualClock clock;
  RecordingLine line;
  sim::SimulatedServer server;
};

std::uint8_t StatusOf(const std::string& response) {
  return static_cast<std::uint8_t>(protocol::FrameData(response)[108]);
}

TEST(SimulatedServer, InvitesAndRepeatsTheInvitationUntilTheRecordComes) {
  ServerBench bench;
  EXPECT_EQ(bench.line.sent, kNak);
  bench.clock.Advance(std::chrono::seconds(7));
  EXPECT_EQ(bench.line.sent, kNak + kNak + kNak);
  bench.server.OnHostBytes(Wire(BuildFrame(0, Request("u", 'E', '0', 0))));
  bench.clock.Advance(std::chrono::seconds(10));
  EXPECT_EQ(bench.line.sent, kNak + kNak + kNak + kAck);
}

TEST(SimulatedServer, JudgesTheRequest) {
  struct Case {
    const char* what;
    std::function<std::string()> request;
    std::uint8_t status;
  };
  const std::vector<Case> cases = {
      {"good send", [] { return Request("alice", 'E', '0', 0); }, 0},
      {"wrong control digits",
       [] {
         std::string r = Request("alice", 'E', '0', 0);
         r[127] = static_cast<char>(r[127] == '9' ? '0' : r[127] + 1);
         return r;
       },
       1},
      {"wrong version",
       [] {
         std::string r = Request("alice", 'E', '0', 0);
         r[3] = '1';
         protocol::ApplyControlPart(r);
         return r;
       },
       1},
      {"wrong block size",
       [] {
         std::string r = Request("alice", 'E', '0', 0);
         r.replace(104, 4, "1024");
         protocol::ApplyControlPart(r);
         return r;
       },
       1},
      {"unknown user", [] { return Request("bob", 'E', '0', 0); }, 2},
      {"wrong direction", [] { return Request("alice", 'X', '0', 0); }, 4},
      {"missing file", [] { return Request("alice", 'R', '0', 0, "none"); }, 6},
      {"resume beyond the file", [] { return Request("alice", 'R', '1', 9); }, 5},
      {"resume inside the file", [] { return Request("alice", 'R', '1', 3); }, 0},
  };
  for (const Case& c : cases) {
    sim::ServerScript script;
    script.users = {{"alice", std::string()}};
    ServerBench bench(script);
    bench.server.PutFile("file", Pattern(128 * 4));
    EXPECT_EQ(StatusOf(bench.Open(c.request())), c.status) << c.what;
  }
}

TEST(SimulatedServer, ResponseCarriesStatusPositionAndValidControlPart) {
  sim::ServerScript script;
  script.send_position = 76805;
  ServerBench bench(script);
  const std::string response = bench.Open(Request("u", 'E', '0', 0));
  ASSERT_EQ(response.size(), 133u);
  EXPECT_EQ(response.substr(0, 3), Bytes({1, 0, 255}));
  const std::string_view data = protocol::FrameData(response);
  EXPECT_EQ(data.substr(116, 3), Bytes({0x2C, 0x01, 0x05}));
  EXPECT_EQ(data[110], '1');
  EXPECT_TRUE(protocol::ControlPartMatches(data));
}

TEST(SimulatedServer, StoresFramesOnceAndReportsItsCount) {
  ServerBench bench;
  bench.Open(Request("u", 'E', '0', 0, "stored"));
  bench.server.OnHostBytes(kAck);
  EXPECT_EQ(bench.line.Messages(), std::vector<std::string>{Bytes({4})});
  bench.server.OnHostBytes(kAck);
  EXPECT_EQ(bench.line.Messages(), std::vector<std::string>{Bytes({21})});
  const std::string a = Pattern(128, 1), b = Pattern(128, 2);
  std::string bad = Wire(BuildFrame(2, b));
  bad[40] ^= 1;
  for (const std::string& wire : {Wire(BuildFrame(1, a)), Wire(BuildFrame(1, a)), bad,
                                  Wire(BuildFrame(3, b)), Wire(BuildFrame(2, b))})
    bench.server.OnHostBytes(wire);
  EXPECT_EQ(bench.line.Messages(), (std::vector<std::string>{Bytes({6}), Bytes({6}), Bytes({21}),
                                                             Bytes({21}), Bytes({6})}));
  // A frame that lost a byte is taken as bad even when its CR comes later.
  std::string short_frame = Wire(BuildFrame(3, a));
  short_frame.erase(10, 1);
  bench.server.OnHostBytes(short_frame);
  bench.server.OnHostBytes("\r");
  EXPECT_EQ(bench.line.Messages(), std::vector<std::string>{Bytes({21})});
  bench.server.OnHostBytes(kEot);
  bench.server.OnHostBytes(kNak);
  const auto report = bench.line.Messages();
  ASSERT_EQ(report.size(), 2u);
  EXPECT_EQ(protocol::FrameData(report[1]).substr(116, 3), Bytes({0, 0, 2}));
  EXPECT_EQ(bench.server.File("stored"), a + b);
  bench.server.OnHostBytes(kAck);
  bench.server.OnHostBytes(kAck);
  EXPECT_TRUE(bench.server.Transfers().back().completed);
}

TEST(SimulatedServer, StoresInADirectory) {
  TempDir dir;
  ServerRig rig;
  rig.server->UseDirectory(dir.path() / "store");
  const std::string path = rig.dir / "ondisk.bin";
  WriteFile(path, Pattern(128 * 5));
  ASSERT_EQ(rig.module->SendFile("u", "p", path, "0"), rvTrue);
  EXPECT_EQ(ReadFile((dir.path() / "store" / "ondisk").string()), Pattern(128 * 5));
  const std::string back = rig.dir / "ondisk.copy";
  WriteFile(back, Pattern(128 * 2));
  ASSERT_EQ(rig.module->ReceiveFile("u", "p", back, "0"), rvTrue);
  EXPECT_EQ(ReadFile(back), Pattern(128 * 5));
}

TEST(SimulatedServer, AbandonsATransferThatFallsSilentAndInvitesAgain) {
  ServerBench bench;
  bench.Open(Request("u", 'E', '0', 0));
  bench.clock.Advance(std::chrono::seconds(61));
  const auto messages = bench.line.Messages();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.front(), Bytes({21}));
}

TEST(SimulatedServer, LineLossDropsCtsAndCdAndANewCallRestoresThem) {
  sim::ServerFaults faults;
  faults.line_loss_after_frames = 1;
  ServerBench bench({}, faults);
  bench.server.PutFile("file", Pattern(128 * 3));
  bench.Open(Request("u", 'R', '0', 0));
  bench.server.OnHostBytes(kAck);  // response: frame 1 follows
  bench.server.OnHostBytes(kAck);  // frame 1 acknowledged: the line goes
  EXPECT_FALSE(bench.line.cts);
  EXPECT_FALSE(bench.line.cd);
  EXPECT_TRUE(bench.server.LineCut());
  bench.server.OnCarrier(false);
  EXPECT_TRUE(bench.line.cts);
  bench.server.OnCarrier(true);
  EXPECT_FALSE(bench.server.LineCut());
}

TEST(SimulatedServer, NoiseAndDropsAreRepeatablePerSeed) {
  auto run = [](std::uint32_t seed) {
    sim::ServerFaults faults;
    faults.seed = seed;
    faults.noise = 0.5;
    faults.drop = 0.5;
    faults.corrupt = 0.5;
    ServerBench bench({}, faults);
    for (int i = 0; i < 20; ++i) bench.clock.Advance(std::chrono::seconds(3));
    return bench.line.sent;
  };
  EXPECT_EQ(run(4), run(4));
  EXPECT_NE(run(4), run(5));
  const std::string noisy = run(4);
  for (char c : noisy) {
    const auto b = static_cast<unsigned char>(c);
    EXPECT_TRUE(b != 1 && b != 4 && b != 6) << "noise never holds a message start";
  }
}

}  // namespace
}  // namespace xmodemquarvel::testing
