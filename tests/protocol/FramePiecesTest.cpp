// Byte-exact pieces without I/O: frames, the answer collector, the control
// part of the opening record, positions, base names and the refusal text.
#include "ProtocolRig.h"
#include "protocol/AnswerCollector.h"
#include "protocol/ControlDigits.h"
#include "protocol/OpeningRecord.h"
#include "protocol/TransferText.h"

namespace xmodemquarvel::protocol {
namespace {

using testing::Bytes, testing::LineFrame;

TEST(Frame, BuildsAndJudgesNumberComplementAndChecksum) {
  // The worked examples: abc and 125 spaces, then abc and 125 NULs.
  for (const auto& [fill, checksum] : {std::pair{' ', 0xC6}, std::pair{'\0', 0x26}}) {
    const std::string data = "abc" + std::string(125, fill);
    EXPECT_EQ(BuildFrame(1, data), Bytes({0x01, 0x01, 0xFE}) + data + Bytes({checksum}));
  }
  for (int n = 0; n < 256; ++n) {
    const std::string frame = BuildFrame(static_cast<std::uint8_t>(n), std::string(128, 'x'));
    EXPECT_EQ(Byte(frame[1]) * 1000 + Byte(frame[2]), n * 1000 + 255 - n);
  }
  EXPECT_EQ(Checksum(std::string(128, '\xFF')), (128 * 255) % 256);  // the unsigned sum
  EXPECT_EQ(Checksum(Bytes({0x80, 0x80, 0x01})), 1);
  EXPECT_THROW(BuildFrame(1, std::string(127, 'a')), std::invalid_argument);

  const std::string data = testing::Pattern(128);
  const std::string good = LineFrame(5, data);
  // clang-format off
  const std::tuple<const char*, std::string, std::uint8_t, FrameVerdict> cases[] = {
      {"next", good, 4, FrameVerdict::kGood},
      {"after 255 comes 0", LineFrame(0, data), 255, FrameVerdict::kGood},
      {"bad checksum", std::string(good).replace(131, 1, 1, static_cast<char>(good[131] + 1)), 4, FrameVerdict::kBadChecksum},
      {"changed data byte", std::string(good).replace(50, 1, 1, static_cast<char>(good[50] ^ 0x10)), 4, FrameVerdict::kBadChecksum},
      {"previous", LineFrame(4, data), 4, FrameVerdict::kPrevious},
      {"previous with bad complement", LineFrame(4, data).replace(2, 1, 1, 7), 4, FrameVerdict::kPrevious},
      {"bad complement", std::string(good).replace(2, 1, 1, 0), 4, FrameVerdict::kOther},
      {"skipped one", LineFrame(6, data), 4, FrameVerdict::kOther},
  };
  // clang-format on
  for (const auto& [what, frame, last, verdict] : cases)
    EXPECT_EQ(JudgeFrame(frame, last), verdict) << what;
}

TEST(AnswerCollector, FollowsTheRulesByLengthAndWhereAFrameIsAwaitedTheCleanRule) {
  // The answer, the bytes it took (npos: not complete) and whether it is clean.
  using Got = std::tuple<std::string, std::size_t, bool>;
  const auto collect = [](std::string_view bytes, bool frame_expected) {
    AnswerCollector collector(frame_expected);
    std::string rx = "left over";
    collector.Begin(rx);
    for (std::size_t i = 0; i < bytes.size(); ++i)
      if (collector.Take(rx, bytes[i])) return Got(rx, i + 1, collector.Clean());
    return Got(rx, std::string::npos, collector.Clean());
  };
  const std::string frame = LineFrame(1, "abc" + std::string(125, '\r'));
  const auto npos = std::string::npos;
  struct Case {
    const char* what;
    std::string input;
    Got anywhere;        // ACK, NAK or EOT awaited, and the simulated server
    Got frame_expected;  // where a frame is awaited
  };
  // clang-format off
  const Case cases[] = {
      {"ACK CR", Bytes({6, 13}), {Bytes({6}), 2, true}, {Bytes({6}), 2, true}},
      {"NAK CR", Bytes({21, 13}), {Bytes({21}), 2, true}, {Bytes({21}), 2, true}},
      {"EOT CR", Bytes({4, 13}), {Bytes({4}), 2, true}, {Bytes({4}), 2, true}},
      {"noise first", "xyz\r\n" + Bytes({6, 13}), {Bytes({6}), 7, true}, {Bytes({6}), 7, true}},
      {"noise, then EOT CR: no end of file", "x" + Bytes({4, 13}), {Bytes({4}), 3, true}, {Bytes({4}), 3, false}},
      {"a stray EOT, then EOT CR: no end of file", Bytes({4, 'a', 4, 13}), {Bytes({4}), 4, true}, {Bytes({4}), 4, false}},
      {"ACK, two others, CR", Bytes({6, 'a', 'b', 13}), {Bytes({6}), 4, true}, {"", npos, true}},
      {"ACK without its CR", Bytes({6, 'a'}), {Bytes({6}), npos, true}, {"", npos, true}},
      {"stray EOT, ACK and NAK before a frame", Bytes({4, 6, 21}) + frame, {Bytes({4}), 10, true}, {frame, 136, true}},
      {"a stray NAK before ACK CR", Bytes({21, 6, 13}), {Bytes({21}), 3, true}, {Bytes({6}), 3, true}},
      {"a frame whose data hold CRs", frame, {frame, 133, true}, {frame, 133, true}},
      {"bytes after the 132nd are dropped until a CR", frame.substr(0, 132) + "zz\r", {frame, 135, true}, {frame, 135, true}},
      {"the next answer stays waiting", Bytes({6, 13, 21, 13}), {Bytes({6}), 2, true}, {Bytes({6}), 2, true}},
      {"nothing", "hello", {"", npos, true}, {"", npos, true}},
  };
  // clang-format on
  for (const Case& c : cases) {
    EXPECT_EQ(collect(c.input, false), c.anywhere) << c.what;
    EXPECT_EQ(collect(c.input, true), c.frame_expected) << c.what;
    // The simulated server collects as the component does where no frame is awaited.
    std::string rx;
    std::size_t used = npos;
    for (std::size_t i = 0; i < c.input.size() && used == npos; ++i)
      if (CollectAnswerByte(rx, c.input[i])) used = i + 1;
    EXPECT_EQ(Got(rx, used, true), c.anywhere) << c.what;
  }
}

TEST(ControlDigits, ReproduceTheWorkedExamplesRoundingHalvesToEven) {
  // A record whose bytes 1 to 119 have low nibbles summing to S2: the digits
  // depend only on that sum and on "CA0" (S3 = 180: S2 = 90 and 180 leave
  // R = 0, taken as 1, so V = S2).
  // clang-format off
  const std::int64_t halves[][3] = {{976, 10, 98}, {98, 10, 10}, {25, 10, 2}, {35, 10, 4}, {15, 10, 2},
                                    {5, 10, 0}, {1045, 4, 261}, {0, 10, 0}, {64, 128, 0}, {192, 128, 2}};
  const std::pair<unsigned, std::string> sums[] = {{44, "0011"}, {100, "0361"}, {255, "1086"}, {256, "0037"}, {90, "0190"}, {180, "0280"}};
  // clang-format on
  for (const auto& [n, d, q] : halves) EXPECT_EQ(DivideRoundHalfEven(n, d), q) << n << "/" << d;
  for (const auto& [s2, digits] : sums) {
    std::string record(128, '\0');
    std::fill_n(record.begin(), s2 / 15, '\x3F');  // low nibble 15
    record[s2 / 15] = static_cast<char>(0x30 + s2 % 15);
    record.replace(119, 3, "CA0");
    const ControlPart part = ComputeControlPart(record);
    EXPECT_EQ(std::string(part.digits, 4), digits) << "S2 = " << s2;
    ApplyControlPart(record);
    EXPECT_EQ(record.substr(119), "CA0" + Bytes({part.s1, static_cast<int>(s2 % 256)}) + digits);
    EXPECT_TRUE(ControlPartMatches(record));
    EXPECT_FALSE(ControlPartMatches(std::string(record).replace(3, 1, 1, '1'))) << "S2 = " << s2;
  }
  // S2 = 0 counts as 13 (S3 = 185: R = 3, V = 52 / 3); no record of another length matches.
  const std::string zero = std::string(119, '\0') + "CA5" + std::string(6, '\0');
  EXPECT_EQ(std::string(ComputeControlPart(zero).digits, 4), "0027");
  EXPECT_FALSE(ControlPartMatches(zero.substr(1)));
}

TEST(OpeningRecordLayout, PositionsBaseNamesAndRefusalTexts) {
  // Blocks, the three bytes (high part low byte first, then the low part).
  // clang-format off
  const std::pair<std::int64_t, std::string> positions[] = {
      {0, Bytes({0, 0, 0})}, {300, Bytes({1, 0, 44})}, {76805, Bytes({0x2C, 1, 5})},
      {512, Bytes({2, 0, 0})}, {-256, Bytes({0xFF, 0xFF, 0})}, {-3, Bytes({0xFF, 0xFF, 253})}};
  // Paths and their base names.
  const std::pair<const char*, const char*> bases[] = {
      {"abc.txt", "abc"}, {"abc", "abc"}, {"C:\\data\\abc.txt", "abc"}, {"/var/tmp/abc.txt", "abc"}, {"dir.d/file", "file"},
      {"a.b.c", "a.b"}, {".profile", ""}, {"/tmp/dir/", "dir"}, {"", ""}};
  // The status plus 48 as a character (176 is the degree sign of the code page).
  const std::pair<std::uint8_t, std::string> statuses[] = {{3, "3"}, {8, "8"}, {9, "9"}, {10, ":"}, {128, "°"}, {208, "208"}};
  // clang-format on
  for (const auto& [blocks, bytes] : positions) {
    EXPECT_EQ(EncodePosition(blocks), bytes) << blocks;
    EXPECT_EQ(ReadPosition(std::string(116, ' ') + bytes).Blocks(), blocks) << blocks;
  }
  for (const auto& [path, base] : bases) EXPECT_EQ(BaseNameOf(path), base) << path;
  for (const auto& [status, digit] : statuses)
    EXPECT_EQ(RefusalDescription(status), "Transfert refusé, status " + digit);
}

}  // namespace
}  // namespace xmodemquarvel::protocol
