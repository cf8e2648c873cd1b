#include <gtest/gtest.h>

#include "Processes.h"

namespace xmodemq::test {
namespace {

namespace fs = std::filesystem;

TEST(Pack, AMissingSourceExitsOneAndLeavesTheTargetAlone) {
  TempDir dir;
  WriteFile(dir / "packed", "previous content");
  const Outcome r = RunXmodemq({"pack", (dir / "absent.txt").string(), (dir / "packed").string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("xmodemq: Compactage"), std::string::npos) << r.err;
  EXPECT_EQ(ReadFile(dir / "packed"), "previous content");
}

TEST(Pack, PackThenUnpackGivesTheFileBack) {
  TempDir dir;
  const std::string bill = BillingRecords(50, 5);
  WriteFile(dir / "bill.txt", bill);
  const Outcome packed =
      RunXmodemq({"pack", (dir / "bill.txt").string(), (dir / "bill.pk").string(), "--progress"});
  ASSERT_EQ(packed.status, 0) << packed.All();
  EXPECT_NE(packed.err.find("bloc 50/50"), std::string::npos) << packed.err;
  // Digits two to a byte and runs of spaces: the packed file is smaller.
  EXPECT_LT(fs::file_size(dir / "bill.pk"), bill.size());
  EXPECT_EQ(fs::file_size(dir / "bill.pk") % 128, 0u);
  const Outcome unpacked =
      RunXmodemq({"unpack", (dir / "bill.pk").string(), (dir / "bill.out").string(), "-q"});
  ASSERT_EQ(unpacked.status, 0) << unpacked.All();
  EXPECT_EQ(ReadFile(dir / "bill.out"), bill);
  EXPECT_TRUE(unpacked.err.empty());
}

TEST(Pack, ACorruptPackedFileFailsWithStatusOne) {
  TempDir dir;
  // An end block whose fill count is above 127 cannot be unpacked.
  WriteFile(dir / "bad.pk", std::string(128, 'A') + std::string(1, '\xff') + std::string(127, 'B'));
  const Outcome r = RunXmodemq({"unpack", (dir / "bad.pk").string(), (dir / "out").string()});
  EXPECT_EQ(r.status, 1) << r.All();
  EXPECT_NE(r.err.find("xmodemq: Décompactage"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace xmodemq::test
