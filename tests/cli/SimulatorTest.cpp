#include <gtest/gtest.h>

#include "Processes.h"

namespace xmodemq::test {
namespace {

namespace fs = std::filesystem;

TEST(Simulate, AnUnknownFaultIsAUsageError) {
  TempDir dir;
  const Outcome r = RunXmodemq(
      {"simulate", "--link", (dir / "modem").string(), "--fault", "gremlins=3"}, {}, 10s);
  EXPECT_EQ(r.status, 2) << r.All();
  EXPECT_NE(r.err.find("panne inconnue"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "modem")));
}

TEST(Simulate, RefusesToReplaceAFileThatIsNotALink) {
  TempDir dir;
  WriteFile(dir / "modem", "precious");
  const Outcome r = RunXmodemq({"simulate", "--link", (dir / "modem").string()}, {}, 10s);
  EXPECT_EQ(r.status, 1) << r.All();
  EXPECT_EQ(ReadFile(dir / "modem"), "precious");
}

TEST(Simulate, ASendResumesAfterWhatTheServerHolds) {
  TempDir dir;
  const std::string bill = BillingRecords(30, 9);
  fs::create_directories(dir / "half");
  WriteFile(dir / "half" / "FACT0007.TXT", bill.substr(0, 12 * 128));
  WriteFile(dir / "FACT0007.TXT", bill);
  Simulator sim(dir, {"--store", (dir / "store").string(), "--serve",
                      (dir / "half" / "FACT0007.TXT").string(), "--resume-sends"});
  const Outcome r = RunXmodemq({"send", (dir / "FACT0007.TXT").string(), "--user", "PS0001",
                                "--device", sim.Link(), "--progress"},
                               {{"XMODEMQ_PASSWORD", "x"}});
  ASSERT_EQ(r.status, 0) << r.All();
  EXPECT_EQ(ReadFile(dir / "store" / "FACT0007"), bill);
  // Only the 18 missing blocks went, numbered on from the 12 held.
  EXPECT_NE(r.err.find("envoyé : 18 blocs de 128 octets"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("bloc 13/30"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("bloc 30/30"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace xmodemq::test
