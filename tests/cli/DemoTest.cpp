#include <gtest/gtest.h>

#include "Processes.h"

namespace xmodemq::test {
namespace {

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(Demo, RunsEveryStepAndFindsEveryCopyIdentical) {
  TempDir dir;
  const auto work = dir / "demo";
  const Outcome r =
      RunXmodemq({"demo", "--records", "64", "--dir", work.string(), "--progress"}, {}, 60s);
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0) << r.All();
  // The modem dialogue of each of the three calls.
  EXPECT_EQ(Count(r.out, "modem> CONNECT"), 3u) << r.out;
  // The cut left half the file, the resume the rest.
  EXPECT_NE(r.out.find("La ligne est coupée"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("garde 32 blocs (4096 octets)"), std::string::npos) << r.out;
  EXPECT_EQ(Count(r.out, "identique\n"), 4u) << r.out;
  EXPECT_EQ(r.out.find("DIFFÉRENT"), std::string::npos);
  // Progress lines came from the Bloc… events of the transfers.
  EXPECT_NE(r.err.find("Envoi"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("bloc 64/64"), std::string::npos) << r.err;
  // The files are where --dir put them, compared here once more.
  EXPECT_EQ(ReadFile(work / "retour" / "FACT0001.TXT"), ReadFile(work / "FACT0001.TXT"));
  EXPECT_EQ(ReadFile(work / "reprise" / "FACT0001.TXT"), ReadFile(work / "FACT0001.TXT"));
  EXPECT_EQ(ReadFile(work / "FACT0001.UNP"), ReadFile(work / "FACT0001.TXT"));
  EXPECT_EQ(std::filesystem::file_size(work / "FACT0001.TXT"), 64u * 128);
}

TEST(Demo, RefusesAnEmptyFile) {
  const Outcome r = RunXmodemq({"demo", "--records", "0"});
  EXPECT_EQ(r.status, 2);
}

}  // namespace
}  // namespace xmodemq::test
