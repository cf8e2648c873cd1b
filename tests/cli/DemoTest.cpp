#include <gtest/gtest.h>

#include "Processes.h"

namespace xmodemq::test {
namespace {

namespace fs = std::filesystem;

TEST(Demo, RunsEveryStepOnAnEightyColumnTerminal) {
  TempDir dir;
  const auto work = dir / "demo";
  Terminal term({XMODEMQ_PATH, "demo", "--records", "64", "--dir", work.string()}, {}, 80);
  EXPECT_EQ(term.Wait(60s), 0) << term.Screen();
  const std::string& screen = term.Screen();
  // The modem dialogue of each of the three calls.
  EXPECT_EQ(Count(screen, "modem> CONNECT"), 3u) << screen;
  // The cut left half the file, the resume the rest.
  EXPECT_NE(screen.find("La ligne est coupée"), std::string::npos) << screen;
  EXPECT_NE(screen.find("garde 32 blocs (4096 octets)"), std::string::npos) << screen;
  EXPECT_EQ(Count(screen, "identique\r\n"), 4u) << screen;
  EXPECT_NE(screen.find("bloc 64/64"), std::string::npos) << screen;
  // The bars are redrawn in place: the lines are the demo's own, none too wide.
  EXPECT_GT(Count(screen, "\r\033[K"), 30u);
  EXPECT_LT(Count(screen, "\n"), 70u) << screen;
  for (const std::string& line : ScreenLines(screen)) EXPECT_LT(Width(line), 80u) << line;
  // The files are where --dir put them, compared here once more.
  EXPECT_EQ(ReadFile(work / "retour" / "FACT0001.TXT"), ReadFile(work / "FACT0001.TXT"));
  EXPECT_EQ(ReadFile(work / "reprise" / "FACT0001.TXT"), ReadFile(work / "FACT0001.TXT"));
  EXPECT_EQ(ReadFile(work / "FACT0001.UNP"), ReadFile(work / "FACT0001.TXT"));
  EXPECT_EQ(fs::file_size(work / "FACT0001.TXT"), 64u * 128);
}

TEST(Demo, AFullDiskStopsItWithTheReasonAndNoSummary) {
  // Where the disk fills: the generated file, a received copy, the unpacked
  // file; the three demos run side by side.
  const std::vector<std::string> places = {"/FACT0001.TXT", "/retour/", "/FACT0001.UNP"};
  TempDir dir;
  std::vector<std::unique_ptr<Process>> demos;
  for (const std::string& where : places)
    demos.push_back(std::make_unique<Process>(
        std::vector<std::string>{XMODEMQ_PATH, "demo", "--records", "16", "--dir",
                                 (dir / ("demo" + std::to_string(demos.size()))).string()},
        FailureEnv("", where + ":1000")));
  for (std::size_t i = 0; i < places.size(); ++i) {
    const std::string& where = places[i];
    SCOPED_TRACE(where);
    const Outcome r = demos[i]->Wait(60s);
    EXPECT_EQ(r.status, 1) << r.All();
    EXPECT_NE(r.err.find("xmodemq: demo : Impossible d'écrire "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(where.substr(1, where.size() - 2)), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(" : disque plein"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("Résumé"), std::string::npos) << r.out;
  }
}

TEST(Demo, RefusesAnEmptyFile) {
  const Outcome r = RunXmodemq({"demo", "--records", "0"});
  EXPECT_EQ(r.status, 2);
}

}  // namespace
}  // namespace xmodemq::test
