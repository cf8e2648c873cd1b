// PackFile and UnPackFile as a host sees them on ModuleXmodem.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "support/SimulatedWorld.h"

namespace xmodemquarvel {
namespace {

namespace fs = std::filesystem;

class ModulePack : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "xmq-module-pack-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    world_.module->BlocPacked = [this](int32_t& n) { packed_.push_back(n); };
    world_.module->BlocUnpacked = [this](int32_t& n) { unpacked_.push_back(n); };
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Path(const char* name) const { return (dir_ / name).string(); }
  static void Write(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  }
  static std::string Read(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
  }

  fs::path dir_;
  testing::SimulatedWorld world_;
  std::vector<int32_t> packed_;
  std::vector<int32_t> unpacked_;
};

TEST_F(ModulePack, EventsFollowTheTraceSwitch) {
  std::string source(300, 'x');
  for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<char>('A' + i % 7);
  Write(Path("src"), source);
  ModuleXmodem& m = *world_.module;

  m.PackFile(Path("src"), Path("packed"));
  m.UnPackFile(Path("packed"), Path("out"));
  EXPECT_TRUE(packed_.empty());
  EXPECT_TRUE(unpacked_.empty());

  m.Trace(true);
  m.PackFile(Path("src"), Path("packed"));
  m.UnPackFile(Path("packed"), Path("out"));
  EXPECT_EQ(packed_, (std::vector<int32_t>{1, 2, 3}));
  const auto packed_blocks = static_cast<int32_t>(fs::file_size(Path("packed")) / 128);
  ASSERT_EQ(static_cast<int32_t>(unpacked_.size()), packed_blocks);
  for (int32_t i = 0; i < packed_blocks; ++i) EXPECT_EQ(unpacked_[i], i + 1);
  // The source comes back filled with spaces to whole blocks.
  EXPECT_EQ(Read(Path("out")), source + std::string(84, ' '));

  // A handler that switches tracing off gets no further event.
  packed_.clear();
  unpacked_.clear();
  m.BlocPacked = [&](int32_t& n) {
    packed_.push_back(n);
    m.Trace(n < 2);
  };
  m.PackFile(Path("src"), Path("packed"));
  m.Trace(true);
  m.BlocUnpacked = [&](int32_t& n) {
    unpacked_.push_back(n);
    m.Trace(false);
  };
  m.UnPackFile(Path("packed"), Path("out"));
  EXPECT_EQ(packed_, (std::vector<int32_t>{1, 2}));
  EXPECT_EQ(unpacked_, (std::vector<int32_t>{1}));
}

TEST_F(ModulePack, FailuresReachTheHostAsExceptionsAndLeaveTheRecordAlone) {
  ModuleXmodem& m = *world_.module;
  world_.modem->HoldCts(false);
  ASSERT_EQ(m.Connect(1), rvCTS);
  const std::string source = m.ErrorSource();
  const std::string description = m.ErrorDescription();
  Write(Path("target"), "keep me");
  std::vector<std::string> events;
  m.Error = [&](std::string& text) { events.push_back(text); };
  try {
    m.PackFile(Path("missing"), Path("target"));
    FAIL() << "a missing source was packed";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code().value(), ENOENT);
  }
  EXPECT_EQ(Read(Path("target")), "keep me");

  // An end block that counts 200 bytes: decoded, then refused.
  std::string packed(128, ' ');
  packed += std::string(1, static_cast<char>(200)) + std::string(127, 'Z');
  Write(Path("bad"), packed);
  try {
    m.UnPackFile(Path("bad"), Path("out"));
    FAIL() << "an end block count of 200 was accepted";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code(), std::make_error_code(std::errc::invalid_argument));
  }
  EXPECT_TRUE(events.empty());
  EXPECT_EQ(m.ErrorSource(), source);
  EXPECT_EQ(m.ErrorDescription(), description);
}

TEST_F(ModulePack, AHandlerCannotStartAnotherOperationOnTheSameObject) {
  Write(Path("src"), std::string(1000, '7'));
  ModuleXmodem& m = *world_.module;
  m.Trace(true);
  int refused = 0;
  m.BlocPacked = [&](int32_t&) {
    try {
      m.UnPackFile(Path("src"), Path("other"));
    } catch (const std::logic_error&) {
      ++refused;
    }
  };
  m.PackFile(Path("src"), Path("packed"));
  EXPECT_EQ(refused, 8);
  EXPECT_FALSE(fs::exists(Path("other")));
}

}  // namespace
}  // namespace xmodemquarvel
