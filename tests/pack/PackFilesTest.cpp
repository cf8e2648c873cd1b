#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "PackTestSupport.h"

namespace xmodemquarvel::pack::test {
namespace {

namespace fs = std::filesystem;

class PackFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "xmq-pack-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string PathOf(const char* name) const { return (dir_ / name).string(); }

  static void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(f.good());
  }

  static Bytes ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    EXPECT_TRUE(f.good()) << path;
    return Bytes(std::istreambuf_iterator<char>(f), {});
  }

  // Runs the conversion and records the events' values and that each one
  // was given the counter itself.
  template <typename Conversion>
  std::vector<int32_t> Run(Conversion conversion, const std::string& from, const std::string& to,
                           int32_t& count) {
    std::vector<int32_t> events;
    conversion(from, to, count, [&](int32_t& NumBloc) {
      EXPECT_EQ(&NumBloc, &count);
      events.push_back(NumBloc);
    });
    return events;
  }

  fs::path dir_;
};

TEST_F(PackFiles, PackedFileMatchesMemoryPackingAndUnpacksBack) {
  std::mt19937 rng(11);
  Bytes source(5000);
  for (auto& b : source) b = static_cast<std::uint8_t>(rng() % 3 == 0 ? ' ' : '0' + rng() % 12);
  WriteFile(PathOf("src"), source);
  int32_t count = -5;
  PackFile(PathOf("src"), PathOf("packed"), count, {});
  EXPECT_EQ(count, 40);
  EXPECT_EQ(ReadFile(PathOf("packed")), Pack(source));
  UnPackFile(PathOf("packed"), PathOf("out"), count, {});
  EXPECT_EQ(ReadFile(PathOf("out")), Padded(source));
}

TEST_F(PackFiles, EmptySourcePacksIntoOneNulBlockWithoutEvent) {
  WriteFile(PathOf("src"), {});
  int32_t count = 9;
  EXPECT_TRUE(Run(PackFile, PathOf("src"), PathOf("packed"), count).empty());
  EXPECT_EQ(count, 0);
  EXPECT_EQ(ReadFile(PathOf("packed")), Repeat(0, 128));
}

TEST_F(PackFiles, OneBlockSourceRaisesOneEvent) {
  const Bytes source = Alternating(128, 'k', 0xE9);
  WriteFile(PathOf("src"), source);
  int32_t count = 0;
  EXPECT_EQ(Run(PackFile, PathOf("src"), PathOf("packed"), count), std::vector<int32_t>{1});
  EXPECT_EQ(ReadFile(PathOf("packed")), Cat(source, Repeat(0, 128)));
}

TEST_F(PackFiles, ThreeHundredCharactersGiveThreeEventsAndFilledLastBlock) {
  const Bytes source = Cat(Repeat('A', 150), Text("0123456789"), Repeat('z', 140));
  WriteFile(PathOf("src"), source);
  int32_t count = 0;
  EXPECT_EQ(Run(PackFile, PathOf("src"), PathOf("packed"), count), (std::vector<int32_t>{1, 2, 3}));
  EXPECT_EQ(Run(UnPackFile, PathOf("packed"), PathOf("out"), count), (std::vector<int32_t>{1, 2}));
  const Bytes out = ReadFile(PathOf("out"));
  ASSERT_EQ(out.size(), 384u);
  EXPECT_EQ(out, Cat(source, Repeat(' ', 84)));
}

TEST_F(PackFiles, UnpackingThreeBlocksRaisesThreeEvents) {
  const Bytes packed =
      PackedFile(Repeat('.', 128), Cat(Repeat('a', 128), Hex("F9 D0 F9 D0 F9 D5")));
  ASSERT_EQ(packed.size(), 384u);
  WriteFile(PathOf("packed"), packed);
  int32_t count = 0;
  EXPECT_EQ(Run(UnPackFile, PathOf("packed"), PathOf("out"), count),
            (std::vector<int32_t>{1, 2, 3}));
  EXPECT_EQ(count, 3);
  EXPECT_EQ(ReadFile(PathOf("out")), Cat(Repeat('.', 128), Repeat('a', 128), Repeat('a', 128)));
}

TEST_F(PackFiles, EmptyPackedFileGivesEmptyTargetWithoutEvent) {
  WriteFile(PathOf("packed"), {});
  WriteFile(PathOf("out"), Text("old content"));
  int32_t count = 4;
  EXPECT_TRUE(Run(UnPackFile, PathOf("packed"), PathOf("out"), count).empty());
  EXPECT_EQ(count, 0);
  EXPECT_TRUE(ReadFile(PathOf("out")).empty());
}

TEST_F(PackFiles, OneBlockPackedFileGivesItsCopy) {
  const Bytes block = Alternating(128, 0x01, 0xFE);
  WriteFile(PathOf("packed"), block);
  int32_t count = 0;
  EXPECT_EQ(Run(UnPackFile, PathOf("packed"), PathOf("out"), count), std::vector<int32_t>{1});
  EXPECT_EQ(ReadFile(PathOf("out")), block);
}

TEST_F(PackFiles, ShortLastPackedBlockIsFilledWithSpaces) {
  // The end block is 5 bytes long; its count 5 reads one filler space,
  // which completes a block of spaces with the 171 before it.
  WriteFile(PathOf("short"), Cat(Repeat('x', 128), Hex("05 AF AF AF 9E")));
  int32_t count = 0;
  EXPECT_EQ(Run(UnPackFile, PathOf("short"), PathOf("out"), count), (std::vector<int32_t>{1, 2}));
  EXPECT_EQ(ReadFile(PathOf("out")), Cat(Repeat('x', 128), Repeat(' ', 128)));
}

TEST_F(PackFiles, ExistingTargetIsReplaced) {
  WriteFile(PathOf("src"), Text("abc"));
  WriteFile(PathOf("packed"), Repeat('#', 1000));
  int32_t count = 0;
  PackFile(PathOf("src"), PathOf("packed"), count, {});
  EXPECT_EQ(ReadFile(PathOf("packed")), Cat(Text("abc"), Repeat(' ', 125), Repeat(0, 128)));
  WriteFile(PathOf("out"), Repeat('#', 1000));
  UnPackFile(PathOf("packed"), PathOf("out"), count, {});
  EXPECT_EQ(ReadFile(PathOf("out")), Cat(Text("abc"), Repeat(' ', 125)));
}

template <typename Conversion>
void ExpectMissingSourceLeavesTarget(Conversion conversion, const std::string& source,
                                     const std::string& target) {
  int32_t count = 0;
  try {
    conversion(source, target, count, {});
    FAIL() << "no failure";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code(), std::error_code(ENOENT, std::generic_category()));
    EXPECT_NE(std::string(e.what()).find("Fichier introuvable : " + source), std::string::npos)
        << e.what();
  }
}

TEST_F(PackFiles, MissingSourceFailsBeforeTargetIsOpened) {
  WriteFile(PathOf("packed"), Text("keep me"));
  ExpectMissingSourceLeavesTarget(PackFile, PathOf("none"), PathOf("packed"));
  EXPECT_EQ(ReadFile(PathOf("packed")), Text("keep me"));
  ExpectMissingSourceLeavesTarget(UnPackFile, PathOf("none"), PathOf("packed"));
  EXPECT_EQ(ReadFile(PathOf("packed")), Text("keep me"));
  ExpectMissingSourceLeavesTarget(PackFile, PathOf("none"), PathOf("created?"));
  EXPECT_FALSE(fs::exists(PathOf("created?")));
}

TEST_F(PackFiles, TargetThatCannotBeCreatedFails) {
  WriteFile(PathOf("src"), Text("abc"));
  const std::string target = PathOf("no-such-dir/packed");
  int32_t count = 0;
  try {
    PackFile(PathOf("src"), target, count, {});
    FAIL() << "no failure";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code(), std::error_code(ENOENT, std::generic_category()));
    EXPECT_NE(std::string(e.what()).find("Impossible de créer " + target), std::string::npos);
  }
}

TEST_F(PackFiles, SourceThatCannotBeReadFails) {
  int32_t count = 0;
  try {
    PackFile(dir_.string(), PathOf("packed"), count, {});
    FAIL() << "no failure";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code(), std::error_code(EISDIR, std::generic_category()));
    EXPECT_NE(std::string(e.what()).find("Erreur de lecture dans"), std::string::npos);
  }
}

TEST_F(PackFiles, WriteFailureIsReported) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  WriteFile(PathOf("src"), Repeat('a', 1000));
  int32_t count = 0;
  for (auto conversion : {PackFile, UnPackFile}) {
    try {
      conversion(PathOf("src"), "/dev/full", count, {});
      FAIL() << "no failure";
    } catch (const std::system_error& e) {
      EXPECT_EQ(e.code(), std::error_code(ENOSPC, std::generic_category()));
      EXPECT_NE(std::string(e.what()).find("Erreur d'écriture dans /dev/full"), std::string::npos);
    }
  }
}

TEST_F(PackFiles, CorruptEndBlockKeepsDecodedBlocksAndFails) {
  WriteFile(PathOf("packed"), Cat(Repeat('.', 128), Hex("C8 AF AF A2"), Repeat('A', 124)));
  int32_t count = 0;
  std::vector<int32_t> events;
  try {
    UnPackFile(PathOf("packed"), PathOf("out"), count,
               [&](int32_t& NumBloc) { events.push_back(NumBloc); });
    FAIL() << "no failure";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code(), std::make_error_code(std::errc::invalid_argument));
  }
  EXPECT_EQ(events, (std::vector<int32_t>{1, 2}));
  EXPECT_EQ(ReadFile(PathOf("out")), Cat(Repeat('.', 128), Repeat(' ', 128)));
}

// Files larger than one read piece: block boundaries, the code block held
// across pieces, and events for every block.
TEST_F(PackFiles, LargeFilesCrossReadPieces) {
  std::mt19937 rng(12);
  Bytes source;
  Bytes record(128, ' ');
  while (source.size() < (3u << 20) + 333) {
    for (int k = 0; k < 3; ++k) record[rng() % 128] = static_cast<std::uint8_t>('0' + rng() % 10);
    if (rng() % 50 == 0) record[rng() % 128] = static_cast<std::uint8_t>(rng());
    source.insert(source.end(), record.begin(), record.end());
  }
  source.resize((3u << 20) + 333);
  WriteFile(PathOf("src"), source);
  int32_t count = 0;
  const auto packEvents = Run(PackFile, PathOf("src"), PathOf("packed"), count);
  ASSERT_EQ(packEvents.size(), (source.size() + 127) / 128);
  for (std::size_t i = 0; i < packEvents.size(); ++i)
    ASSERT_EQ(packEvents[i], static_cast<int32_t>(i + 1));
  const Bytes packed = ReadFile(PathOf("packed"));
  EXPECT_EQ(packed, Pack(source));
  const auto unpackEvents = Run(UnPackFile, PathOf("packed"), PathOf("out"), count);
  EXPECT_EQ(unpackEvents.size(), packed.size() / 128);
  EXPECT_EQ(count, static_cast<int32_t>(packed.size() / 128));
  EXPECT_EQ(ReadFile(PathOf("out")), Padded(source));
}

// A packed file whose size is one read piece plus one block: the last code
// block is held across pieces and the end block comes alone in the last one.
TEST_F(PackFiles, EndBlockAloneInLastReadPiece) {
  const std::size_t letters = (1u << 20) - 128;
  const Bytes packed = PackedFile(Repeat('.', 128), Cat(Repeat('A', letters), Hex("AF AF A2")));
  ASSERT_EQ(packed.size(), (1u << 20) + 128);
  WriteFile(PathOf("packed"), packed);
  int32_t count = 0;
  UnPackFile(PathOf("packed"), PathOf("out"), count, {});
  EXPECT_EQ(count, static_cast<int32_t>(packed.size() / 128));
  EXPECT_EQ(ReadFile(PathOf("out")), Cat(Repeat('.', 128), Repeat('A', letters), Repeat(' ', 128)));
}

}  // namespace
}  // namespace xmodemquarvel::pack::test
