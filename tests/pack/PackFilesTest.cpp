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

// A source that is missing or is a directory fails at its opening, before the
// target is touched.
TEST_F(PackFiles, AnUnreadableSourceFailsBeforeTheTargetIsOpened) {
  fs::create_directory(PathOf("dir"));
  struct Case {
    const char* source;
    int error;
    std::string text;
  };
  for (const Case& c : {Case{"none", ENOENT, "Fichier introuvable : "},
                        Case{"dir", EISDIR, "Impossible d'ouvrir "}}) {
    for (auto conversion : {PackFile, UnPackFile}) {
      for (const char* target : {"packed", "created?"}) {
        if (std::string(target) == "packed") WriteFile(PathOf("packed"), Text("keep me"));
        int32_t count = 0;
        try {
          conversion(PathOf(c.source), PathOf(target), count, {});
          ADD_FAILURE() << "no failure for " << c.source;
        } catch (const std::system_error& e) {
          EXPECT_EQ(e.code(), std::error_code(c.error, std::generic_category()));
          EXPECT_NE(std::string(e.what()).find(c.text + PathOf(c.source)), std::string::npos)
              << e.what();
        }
      }
      EXPECT_EQ(ReadFile(PathOf("packed")), Text("keep me"));
      EXPECT_FALSE(fs::exists(PathOf("created?")));
    }
  }
}

// A failure part-way (here a handler that throws) leaves in the target every
// block produced before it: the whole packed blocks of the blocks coded, or
// the complete blocks decoded from the code blocks read.
TEST_F(PackFiles, AFailurePartWayKeepsEveryBlockProducedBefore) {
  std::mt19937 rng(3);
  Bytes source((1u << 21) + 77);
  for (auto& b : source) b = static_cast<std::uint8_t>(rng() % 4 == 0 ? '0' + rng() % 10 : ' ');
  const Bytes packed = Pack(source);
  WriteFile(PathOf("src"), source);
  WriteFile(PathOf("packed"), packed);
  const auto stop_at = [](int32_t last) {
    return [last](int32_t& n) {
      if (n == last) throw std::runtime_error("stop");
    };
  };
  int32_t count = 0;
  for (const int32_t last : {1, 2, 9000, 16000}) {
    EXPECT_THROW(PackFile(PathOf("src"), PathOf("out"), count, stop_at(last)), std::runtime_error);
    // Packing the first blocks alone gives the same code; its end block is not written.
    const Bytes alone = Pack(Bytes(source.begin(), source.begin() + 128 * last));
    EXPECT_EQ(ReadFile(PathOf("out")), Bytes(alone.begin(), alone.end() - 128)) << last;
  }
  const auto blocks = static_cast<int32_t>(packed.size() / 128);
  for (const int32_t last : {1, 2, 3, blocks / 2, blocks}) {
    EXPECT_THROW(UnPackFile(PathOf("packed"), PathOf("out"), count, stop_at(last)),
                 std::runtime_error);
    // Code blocks 2 to last - 1 have been decoded: the blocks they complete are there.
    const std::size_t read = std::max<std::size_t>(1, static_cast<std::size_t>(last) - 1);
    const Bytes decoded =
        Unpack(Cat(Bytes(packed.begin(), packed.begin() + 128 * read), Repeat(0, 128)));
    EXPECT_EQ(ReadFile(PathOf("out")), decoded) << last;
  }
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
