// Byte-exact pieces without I/O: frames, the answer collector, the control
// part of the opening record, base names and positions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ProtocolRig.h"
#include "protocol/AnswerCollector.h"
#include "protocol/ControlDigits.h"
#include "protocol/Frame.h"
#include "protocol/LocalFiles.h"
#include "protocol/OpeningRecord.h"
#include "protocol/TransferText.h"

namespace xmodemquarvel::protocol {
namespace {

using testing::Bytes;

std::string Padded(std::string text, char fill) {
  text.resize(128, fill);
  return text;
}

TEST(Frame, BuildsTheWorkedExamplesByteForByte) {
  struct Case {
    char fill;
    int checksum;
  };
  for (const Case c : {Case{' ', 0xC6}, Case{'\0', 0x26}}) {
    const std::string frame = BuildFrame(1, Padded("abc", c.fill));
    ASSERT_EQ(frame.size(), 132u);
    EXPECT_EQ(frame.substr(0, 6), Bytes({0x01, 0x01, 0xFE, 0x61, 0x62, 0x63}));
    EXPECT_EQ(frame.substr(6, 125), std::string(125, c.fill));
    EXPECT_EQ(Byte(frame[131]), c.checksum);
  }
}

TEST(Frame, NumberAndComplementCoverEveryByte) {
  for (int n = 0; n < 256; ++n) {
    const std::string frame = BuildFrame(static_cast<std::uint8_t>(n), std::string(128, 'x'));
    EXPECT_EQ(Byte(frame[1]), n);
    EXPECT_EQ(Byte(frame[2]) + n, 255);
  }
}

TEST(Frame, ChecksumIsTheUnsignedSumModulo256) {
  EXPECT_EQ(Checksum(std::string(128, '\xFF')), (128 * 255) % 256);
  EXPECT_EQ(Checksum(Bytes({0x80, 0x80, 0x01})), 1);
  EXPECT_EQ(Checksum(""), 0);
}

TEST(Frame, RefusesDataOfAnotherSize) {
  EXPECT_THROW(BuildFrame(1, std::string(127, 'a')), std::invalid_argument);
}

std::string Collected(std::uint8_t number, std::string data) {
  return BuildFrame(number, data) + std::string(1, CR);
}

TEST(Frame, JudgesNumberComplementAndChecksum) {
  const std::string data = testing::Pattern(128);
  struct Case {
    const char* what;
    std::string frame;
    std::uint8_t last;
    FrameVerdict verdict;
  };
  std::string bad_sum = Collected(5, data);
  bad_sum[131] = static_cast<char>(Byte(bad_sum[131]) + 1);
  std::string bad_complement = Collected(5, data);
  bad_complement[2] = 0;
  std::string bad_data = Collected(5, data);
  bad_data[50] ^= 0x10;
  const std::vector<Case> cases = {
      {"next", Collected(5, data), 4, FrameVerdict::kGood},
      {"after 255 comes 0", Collected(0, data), 255, FrameVerdict::kGood},
      {"bad checksum", bad_sum, 4, FrameVerdict::kBadChecksum},
      {"changed data byte", bad_data, 4, FrameVerdict::kBadChecksum},
      {"previous", Collected(4, data), 4, FrameVerdict::kPrevious},
      {"previous with bad complement",
       [&] {
         std::string f = Collected(4, data);
         f[2] = 7;
         return f;
       }(),
       4, FrameVerdict::kPrevious},
      {"bad complement", bad_complement, 4, FrameVerdict::kOther},
      {"skipped one", Collected(6, data), 4, FrameVerdict::kOther},
  };
  for (const Case& c : cases) EXPECT_EQ(JudgeFrame(c.frame, c.last), c.verdict) << c.what;
}

// Feeds bytes until an answer is complete; returns it and how many bytes it took.
std::pair<std::string, std::size_t> Collect(std::string_view bytes) {
  std::string rx;
  for (std::size_t i = 0; i < bytes.size(); ++i)
    if (CollectAnswerByte(rx, bytes[i])) return {rx, i + 1};
  return {rx, std::string::npos};
}

TEST(AnswerCollector, FollowsTheRulesByLength) {
  const std::string frame = Collected(1, Padded("abc", '\r'));
  struct Case {
    const char* what;
    std::string input;
    std::string answer;
    std::size_t used;  // npos: not complete
  };
  const std::vector<Case> cases = {
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
  for (const Case& c : cases) {
    const auto [answer, used] = Collect(c.input);
    EXPECT_EQ(answer, c.answer) << c.what;
    EXPECT_EQ(used, c.used) << c.what;
  }
}

TEST(ControlDigits, RoundsHalvesToEven) {
  struct Case {
    std::int64_t n, d, q;
  };
  for (const Case c : {Case{976, 10, 98}, Case{98, 10, 10}, Case{25, 10, 2}, Case{35, 10, 4},
                       Case{15, 10, 2}, Case{5, 10, 0}, Case{3, 10, 0}, Case{1045, 4, 261},
                       Case{-5, 10, 0}, Case{-15, 10, -2}, Case{64, 128, 0}, Case{192, 128, 2}})
    EXPECT_EQ(DivideRoundHalfEven(c.n, c.d), c.q) << c.n << "/" << c.d;
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
  struct Case {
    unsigned s2;
    const char* digits;
  };
  for (const Case c : {Case{44, "0011"}, Case{100, "0361"}, Case{255, "1086"}, Case{256, "0037"}}) {
    const std::string record = RecordWithNibbleSum(c.s2);
    const ControlPart part = ComputeControlPart(record);
    EXPECT_EQ(part.s2, c.s2 % 256);
    EXPECT_EQ(std::string(part.digits, 4), c.digits) << "S2 = " << c.s2;
  }
}

TEST(OpeningRecordLayout, EmptyUserAbcTxtGivesControlDigits0011) {
  OpeningRecord r;
  r.Version.Assign("V2.0");
  r.UserId.Assign("");
  r.PSW.Assign("");
  r.BaseName.Assign(BaseNameOf("abc.txt"));
  r.Filler1.Assign("   ");
  r.BlockSize.Assign("0128");
  r.Status.AssignBytes({});
  r.Sens.Assign("E");
  r.Reprise.Assign("0");
  r.PackType.Assign("0");
  r.Filler2.Assign("    ");
  r.RecordPositionHigh.AssignBytes({});
  r.RecordPositionLow.AssignBytes({});
  r.Control.AssignBytes("CA0");
  std::string record = r.Join();
  ASSERT_EQ(record.size(), 128u);
  EXPECT_EQ(record.substr(0, 4), "V2.0");
  EXPECT_EQ(record.substr(4, 80), std::string(80, ' '));
  EXPECT_EQ(record.substr(84, 17), "abc" + std::string(14, ' '));
  EXPECT_EQ(record.substr(101, 7), "   0128");
  EXPECT_EQ(record.substr(108, 8), Bytes({0, 'E', '0', '0', ' ', ' ', ' ', ' '}));
  EXPECT_EQ(record.substr(116, 3), std::string(3, '\0'));
  ApplyControlPart(record);
  EXPECT_EQ(record.substr(119), "CA0" + Bytes({0x1C, 0x2C}) + "0011");
  EXPECT_TRUE(ControlPartMatches(record));
  // The fields keep "CA0" and six NULs.
  EXPECT_EQ(r.Control.View(), "CA0" + std::string(6, '\0'));
  record[3] = '1';
  EXPECT_FALSE(ControlPartMatches(record));
}

TEST(OpeningRecordLayout, BaseNames) {
  struct Case {
    const char* path;
    const char* base;
  };
  for (const Case c :
       {Case{"abc.txt", "abc"}, Case{"abc", "abc"}, Case{"C:\\data\\abc.txt", "abc"},
        Case{"/var/tmp/abc.txt", "abc"}, Case{"dir.d/file", "file"}, Case{"a.b.c", "a.b"},
        Case{".profile", ""}, Case{"/tmp/dir/", "dir"}, Case{"", ""}})
    EXPECT_EQ(BaseNameOf(c.path), c.base) << c.path;
}

TEST(OpeningRecordLayout, PositionsEncodeAndDecode) {
  struct Case {
    std::int64_t blocks;
    std::string bytes;
    std::int32_t high, low;
  };
  const std::vector<Case> cases = {
      {0, Bytes({0, 0, 0}), 0, 0},
      {200, Bytes({0, 0, 200}), 0, 200},
      {300, Bytes({1, 0, 44}), 1, 44},
      {76805, Bytes({0x2C, 0x01, 0x05}), 300, 5},
      {-256, Bytes({0xFF, 0xFF, 0}), -1, 0},
      {-1, Bytes({0xFF, 0xFF, 255}), -1, 255},
      {-8388608, Bytes({0x00, 0x80, 0}), -32768, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EncodePosition(c.blocks), c.bytes) << c.blocks;
    std::string record(128, ' ');
    record.replace(116, 3, c.bytes);
    const Position p = ReadPosition(record);
    EXPECT_EQ(p.high, c.high) << c.blocks;
    EXPECT_EQ(p.low, c.low) << c.blocks;
    EXPECT_EQ(p.Blocks(), c.blocks);
  }
}

TEST(TransferText, RefusalShowsTheStatusDigit) {
  EXPECT_EQ(RefusalDescription(3), "Transfert refusé, status 3");
  EXPECT_EQ(RefusalDescription(8), "Transfert refusé, status 8");
  EXPECT_EQ(RefusalDescription(9), "Transfert refusé, status 9");
  EXPECT_EQ(RefusalDescription(10), "Transfert refusé, status :");
  // 128 + 48 = 176 is the degree sign of the code page.
  EXPECT_EQ(RefusalDescription(128), "Transfert refusé, status °");
  EXPECT_EQ(RefusalDescription(208), "Transfert refusé, status 208");
}

TEST(LocalFiles, BlockCountRoundsHalfToEven) {
  struct Case {
    std::int64_t bytes, blocks;
  };
  for (const Case c :
       {Case{0, 0}, Case{63, 0}, Case{64, 0}, Case{65, 1}, Case{128, 1}, Case{192, 2}, Case{320, 2},
        Case{321, 3}, Case{25600, 200}, Case{(std::int64_t{1} << 31) - 64, std::int64_t{1} << 24}})
    EXPECT_EQ(RoundedBlockCount(c.bytes), c.blocks) << c.bytes;
}

TEST(LocalFiles, ReaderGivesWholeRecordsOnlyAndSeeksPastTheEnd) {
  testing::TempDir dir;
  const std::string path = dir / "records.bin";
  const std::string content = testing::Pattern(128 * 700 + 44);
  testing::WriteFile(path, content);
  auto reader = RecordReader::Open(path);
  ASSERT_TRUE(reader);
  std::string record;
  std::string all;
  while (reader->Next(record)) all += record;
  EXPECT_EQ(all, content.substr(0, 128 * 700));
  ASSERT_TRUE(reader->Seek(699));
  ASSERT_TRUE(reader->Next(record));
  EXPECT_EQ(record, content.substr(128 * 699, 128));
  EXPECT_FALSE(reader->Next(record));
  ASSERT_TRUE(reader->Seek(5000));
  EXPECT_FALSE(reader->Next(record));

  const std::string missing = dir / "created.bin";
  EXPECT_TRUE(RecordReader::Open(missing));
  EXPECT_TRUE(std::filesystem::exists(missing));
  EXPECT_FALSE(RecordReader::Open(dir.path().string()));
  EXPECT_FALSE(RecordReader::Open(dir / "no/such/dir/file"));
}

}  // namespace
}  // namespace xmodemquarvel::protocol
