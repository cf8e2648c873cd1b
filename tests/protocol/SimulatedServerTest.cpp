// The simulated server on its own, fed byte by byte: how it invites, judges
// requests, stores and reports, gives up on silence, and its faults.
#include "ProtocolRig.h"
#include "protocol/AnswerCollector.h"
#include "protocol/ControlDigits.h"
#include "protocol/Frame.h"

namespace xmodemquarvel::testing {
namespace {

using protocol::BuildFrame;

std::string Fit(const std::string& text, std::size_t width) {
  return (text + std::string(width, ' ')).substr(0, width);
}

std::string Request(const std::string& user, char sens, char reprise, std::int64_t position,
                    const std::string& base = "file") {
  std::string r = "V2.0" + Fit(user, 80) + Fit(base, 17) + "   0128" + '\0' + sens + reprise +
                  "0    " + protocol::EncodePosition(position) + "CA0" + std::string(6, '\0');
  protocol::ApplyControlPart(r);
  return r;
}

std::string Wire(const std::string& frame132) {
  return frame132 + "\r";
}

struct ServerBench {
  explicit ServerBench(sim::ServerFaults faults = {}) : server(line, {}, faults) { server.Start(); }
  // The messages sent since the last call, as the component would collect them.
  std::vector<std::string> Messages() {
    std::vector<std::string> out;
    std::string rx;
    for (char c : line.PeerWrote().substr(read))
      if (protocol::CollectAnswerByte(rx, c)) out.push_back(std::exchange(rx, ""));
    read = line.PeerWrote().size();
    return out;
  }
  std::vector<std::string> Feed(const std::vector<std::string>& wires) {
    for (const std::string& wire : wires) server.OnHostBytes(wire);
    return Messages();
  }
  // Sends the request and asks for the response; returns the response frame.
  std::string Open(const std::string& request) {
    Messages();
    const auto messages = Feed({Wire(BuildFrame(0, request)), kEotCr, kNakCr});
    EXPECT_EQ(messages.size(), 3u);
    return messages.empty() ? "" : messages.back();
  }
  std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>();
  sim::SimulatedSerialPort line{clock};
  sim::SimulatedServer server;
  std::size_t read = 0;
};

std::vector<std::string> Answers(std::initializer_list<int> bytes) {
  std::vector<std::string> out;
  for (int b : bytes) out.push_back(Bytes({b}));
  return out;
}

TEST(SimulatedServer, InvitesUntilTheRecordComesAndGivesUpOnSilence) {
  ServerBench bench;
  EXPECT_EQ(bench.line.PeerWrote(), kNakCr);
  bench.clock->Advance(std::chrono::seconds(7));
  EXPECT_EQ(bench.line.PeerWrote(), Repeat(kNakCr, 3));
  bench.Feed({Wire(BuildFrame(0, Request("u", 'E', '0', 0)))});
  bench.clock->Advance(std::chrono::seconds(10));
  EXPECT_EQ(bench.line.PeerWrote(), Repeat(kNakCr, 3) + kAckCr);
  // A transfer that hears nothing for long is abandoned: it invites again.
  bench.clock->Advance(std::chrono::seconds(61));
  EXPECT_EQ(bench.Messages().at(0), Bytes({21}));
}

TEST(SimulatedServer, JudgesTheRequest) {
  // A good request with the bytes at `offset` changed; its control part made
  // again unless `keep_control` is set.
  const auto changed = [](std::size_t offset, const std::string& bytes, bool keep_control = false) {
    std::string r = Request("alice", 'E', '0', 0);
    r.replace(offset, bytes.size(), bytes);
    if (!keep_control) protocol::ApplyControlPart(r);
    return r;
  };
  // clang-format off
  const std::tuple<const char*, std::string, char> cases[] = {  // what, request, status
      {"good send", Request("alice", 'E', '0', 0), 0},
      {"wrong control digits", changed(127, "X", true), 1},
      {"wrong version", changed(3, "1"), 1},
      {"wrong block size", changed(104, "1024"), 1},
      {"unknown user", Request("bob", 'E', '0', 0), 2},
      {"wrong password", Request(Fit("alice", 40) + "wrong", 'E', '0', 0), 3},
      {"wrong direction", Request("alice", 'X', '0', 0), 4},
      {"missing file", Request("alice", 'R', '0', 0, "none"), 6},
      {"resume beyond the file", Request("alice", 'R', '1', 9), 5},
      {"resume inside the file", Request("alice", 'R', '1', 3), 0},
  };
  // clang-format on
  for (const auto& [what, request, status] : cases) {
    ServerBench bench;
    bench.server.Script().users = {{"alice", std::string()}};
    bench.server.PutFile("file", Pattern(128 * 4));
    EXPECT_EQ(protocol::FrameData(bench.Open(request))[108], status) << what;
  }
}

TEST(SimulatedServer, StoresFramesOnceAndReportsItsCount) {
  ServerBench bench;
  bench.Open(Request("u", 'E', '0', 0, "stored"));
  EXPECT_EQ(bench.Feed({kAckCr}), Answers({4}));
  EXPECT_EQ(bench.Feed({kAckCr}), Answers({21}));
  const std::string a = Pattern(128, 1), b = Pattern(128, 2);
  const std::string bad = Spoiled(Wire(BuildFrame(2, b)), 40, static_cast<char>(b[37] ^ 1));
  // A frame that lost a byte is taken as bad even when its CR comes later.
  const std::string short_frame = Wire(BuildFrame(3, a)).erase(10, 1);
  EXPECT_EQ(bench.Feed({Wire(BuildFrame(1, a)), Wire(BuildFrame(1, a)), bad, Wire(BuildFrame(3, b)),
                        Wire(BuildFrame(2, b)), short_frame, "\r"}),
            Answers({6, 6, 21, 21, 6, 21}));
  const auto report = bench.Feed({kEotCr, kNakCr});
  ASSERT_EQ(report.size(), 2u);
  EXPECT_EQ(protocol::FrameData(report[1]).substr(116, 3), Bytes({0, 0, 2}));
  EXPECT_EQ(bench.server.File("stored"), a + b);
  bench.Feed({kAckCr, kAckCr});
  EXPECT_TRUE(bench.server.Transfers().back().completed);

  // Kept in a directory, by base name, and served from there.
  ServerRig rig;
  rig.server->UseDirectory(rig.dir.path());
  ASSERT_EQ(rig.Send("ondisk.bin", Pattern(128 * 5)), rvTrue);
  EXPECT_EQ(ReadFile(rig.dir / "ondisk"), Pattern(128 * 5));
  WriteFile(rig.dir / "ondisk.copy", Pattern(128 * 2));
  ASSERT_EQ(rig.Receive("ondisk.copy"), rvTrue);
  EXPECT_EQ(ReadFile(rig.path), Pattern(128 * 5));
}

TEST(SimulatedServer, NoiseAndDropsAreRepeatablePerSeed) {
  auto run = [](std::uint32_t seed) {
    ServerBench bench({.seed = seed, .noise = 0.5, .drop = 0.5, .corrupt = 0.5});
    for (int i = 0; i < 20; ++i) bench.clock->Advance(std::chrono::seconds(3));
    return bench.line.PeerWrote();
  };
  EXPECT_EQ(run(4), run(4));
  EXPECT_NE(run(4), run(5));
  EXPECT_EQ(run(4).find_first_of(Bytes({1, 4, 6})), std::string::npos)
      << "noise never holds a message start";
}

}  // namespace
}  // namespace xmodemquarvel::testing
