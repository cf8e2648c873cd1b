// Byte-exact pieces without I/O: frames, the answer collector, the control
// part of the opening record, base names and the refusal text.
#include "ProtocolRig.h"
#include "protocol/AnswerCollector.h"
#include "protocol/ControlDigits.h"
#include "protocol/Frame.h"
#include "protocol/OpeningRecord.h"
#include "protocol/TransferText.h"

namespace xmodemquarvel::protocol {
namespace {

using testing::Bytes;
using testing::Spoiled;

TEST(Frame, BuildsTheWorkedExamplesByteForByte) {
  for (const auto& [fill, checksum] : {std::pair{' ', 0xC6}, std::pair{'\0', 0x26}}) {
    const std::string data = "abc" + std::string(125, fill);
    EXPECT_EQ(BuildFrame(1, data), Bytes({0x01, 0x01, 0xFE}) + data + Bytes({checksum}));
  }
}

TEST(Frame, NumberComplementChecksumAndSize) {
  for (int n = 0; n < 256; ++n) {
    const std::string frame = BuildFrame(static_cast<std::uint8_t>(n), std::string(128, 'x'));
    EXPECT_EQ(Byte(frame[1]), n);
    EXPECT_EQ(Byte(frame[2]) + n, 255);
  }
  // The unsigned sum modulo 256.
  EXPECT_EQ(Checksum(std::string(128, '\xFF')), (128 * 255) % 256);
  EXPECT_EQ(Checksum(Bytes({0x80, 0x80, 0x01})), 1);
  EXPECT_EQ(Checksum(""), 0);
  EXPECT_THROW(BuildFrame(1, std::string(127, 'a')), std::invalid_argument);
}

std::string Collected(std::uint8_t number, std::string data) {
  return BuildFrame(number, data) + std::string(1, CR);
}

TEST(Frame, JudgesNumberComplementAndChecksum) {
  const std::string data = testing::Pattern(128);
  const std::string good = Collected(5, data);
  const std::vector<std::tuple<const char*, std::string, std::uint8_t, FrameVerdict>> cases = {
      {"next", Collected(5, data), 4, FrameVerdict::kGood},
      {"after 255 comes 0", Collected(0, data), 255, FrameVerdict::kGood},
      {"bad checksum", Spoiled(good, 131, static_cast<char>(good[131] + 1)), 4,
       FrameVerdict::kBadChecksum},
      {"changed data byte", Spoiled(good, 50, static_cast<char>(good[50] ^ 0x10)), 4,
       FrameVerdict::kBadChecksum},
      {"previous", Collected(4, data), 4, FrameVerdict::kPrevious},
      {"previous with bad complement", Spoiled(Collected(4, data), 2, 7), 4,
       FrameVerdict::kPrevious},
      {"bad complement", Spoiled(good, 2, 0), 4, FrameVerdict::kOther},
      {"skipped one", Collected(6, data), 4, FrameVerdict::kOther},
  };
  for (const auto& [what, frame, last, verdict] : cases)
    EXPECT_EQ(JudgeFrame(frame, last), verdict) << what;
}

// Feeds bytes until an answer is complete; returns it and how many bytes it took.
std::pair<std::string, std::size_t> Collect(std::string_view bytes) {
  std::string rx;
  for (std::size_t i = 0; i < bytes.size(); ++i)
    if (CollectAnswerByte(rx, bytes[i])) return {rx, i + 1};
  return {rx, std::string::npos};
}

TEST(AnswerCollector, FollowsTheRulesByLength) {
  const std::string frame = Collected(1, "abc" + std::string(125, '\r'));
  // What goes in, the answer collected and the bytes it took (npos: not complete).
  const std::vector<std::tuple<const char*, std::string, std::string, std::size_t>> cases = {
      {"ACK CR", Bytes({6, 13}), Bytes({6}), 2},
      {"NAK CR", Bytes({21, 13}), Bytes({21}), 2},
      {"EOT CR", Bytes({4, 13}), Bytes({4}), 2},
      {"noise first", "xyz\r\n" + Bytes({6, 13}), Bytes({6}), 7},
      {"ACK, two others, CR", Bytes({6, 'a', 'b', 13}), Bytes({6}), 4},
      {"ACK without its CR", Bytes({6, 'a'}), Bytes({6}), std::string::npos},
      {"a frame whose data hold CRs", frame, frame, 133},
      {"bytes after the 132nd are dropped until a CR", frame.substr(0, 132) + "zz\r", frame, 135},
      {"the next answer stays waiting", Bytes({6, 13, 21, 13}), Bytes({6}), 2},
      {"nothing", "hello", "", std::string::npos},
  };
  for (const auto& [what, input, answer, used] : cases)
    EXPECT_EQ(Collect(input), std::pair(answer, used)) << what;
}

TEST(ControlDigits, RoundsHalvesToEven) {
  const std::vector<std::array<std::int64_t, 3>> cases = {
      {976, 10, 98}, {98, 10, 10},   {25, 10, 2}, {35, 10, 4},  {15, 10, 2},  {5, 10, 0},
      {3, 10, 0},    {1045, 4, 261}, {0, 10, 0},  {64, 128, 0}, {192, 128, 2}};
  for (const auto& [n, d, q] : cases) EXPECT_EQ(DivideRoundHalfEven(n, d), q) << n << "/" << d;
}

// A record whose bytes 1 to 119 have low nibbles summing to `s2`; the
// digits depend only on that sum and on "CA0".
std::string RecordWithNibbleSum(unsigned s2_target) {
  std::string record(128, '\0');
  unsigned s2 = 0;
  std::size_t i = 0;
  while (s2 + 15 <= s2_target) {
    record[i++] = 0x3F;  // low nibble 15
    s2 += 15;
  }
  record[i] = static_cast<char>(0x30 + (s2_target - s2));
  record.replace(119, 3, "CA0");
  return record;
}

TEST(ControlDigits, ReproduceTheWorkedExamples) {
  for (const auto& [s2, digits] : std::vector<std::pair<unsigned, std::string>>{
           {44, "0011"}, {100, "0361"}, {255, "1086"}, {256, "0037"}}) {
    std::string record = RecordWithNibbleSum(s2);
    const ControlPart part = ComputeControlPart(record);
    EXPECT_EQ(part.s2, s2 % 256);
    EXPECT_EQ(std::string(part.digits, 4), digits) << "S2 = " << s2;
    ApplyControlPart(record);
    EXPECT_EQ(record.substr(119), "CA0" + Bytes({part.s1, part.s2}) + digits);
    EXPECT_TRUE(ControlPartMatches(record));
    EXPECT_FALSE(ControlPartMatches(testing::Spoiled(record, 3, '1'))) << "S2 = " << s2;
  }
}

TEST(OpeningRecordLayout, BaseNames) {
  using P = std::pair<const char*, const char*>;  // path, base name
  for (const auto& [path, base] :
       {P{"abc.txt", "abc"}, P{"abc", "abc"}, P{"C:\\data\\abc.txt", "abc"},
        P{"/var/tmp/abc.txt", "abc"}, P{"dir.d/file", "file"}, P{"a.b.c", "a.b"}, P{".profile", ""},
        P{"/tmp/dir/", "dir"}, P{"", ""}})
    EXPECT_EQ(BaseNameOf(path), base) << path;
}

TEST(TransferText, RefusalShowsTheStatusDigit) {
  // 128 + 48 = 176 is the degree sign of the code page.
  const std::vector<std::pair<int, std::string>> cases = {{3, "3"},  {8, "8"},   {9, "9"},
                                                          {10, ":"}, {128, "°"}, {208, "208"}};
  for (const auto& [status, digit] : cases)
    EXPECT_EQ(RefusalDescription(static_cast<std::uint8_t>(status)),
              "Transfert refusé, status " + digit);
}

}  // namespace
}  // namespace xmodemquarvel::protocol
