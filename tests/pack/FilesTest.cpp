// PackFile and UnPackFile on real files, and as a host sees them on ModuleXmodem.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <sys/stat.h>

#include "PackTestSupport.h"
#include "platform/UniqueFd.h"
#include "support/SimulatedWorld.h"

namespace xmodemquarvel::pack::test {
namespace {

namespace fs = std::filesystem;
using Conversion = void (*)(const std::string&, const std::string&, int32_t&, const BlockEvent&,
                            const AbortCheck&);

template <typename Call>
std::system_error FailureOf(Call call) {
  try {
    call();
  } catch (const std::system_error& e) {
    return e;
  }
  return std::system_error(std::error_code());
}

// PackDescriptors and UnpackDescriptors, which read and write on threads of
// their own, called with names like the others.
template <bool kUnpack>
void Descriptors(const std::string& from, const std::string& to, int32_t& count,
                 const BlockEvent& event, const AbortCheck&) {
  const UniqueFd source(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  const UniqueFd target(::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  ASSERT_TRUE(source && target) << from << " " << to;
  if constexpr (kUnpack) {
    UnpackDescriptors(source.Get(), from, target.Get(), to, count, event);
  } else {
    PackDescriptors(source.Get(), from, target.Get(), to, count, event);
  }
}
// Each conversion by names, then the same through descriptors.
std::vector<Conversion> BothWays(Conversion byNames) {
  return {byNames, byNames == PackFile ? Descriptors<false> : Descriptors<true>};
}

class Files : public ::testing::Test {
 protected:
  std::string P(const char* name) const { return dir_ / name; }
  static void Write(const std::string& path, const Bytes& bytes) {
    xmodemquarvel::testing::WriteFile(path,
                                      {reinterpret_cast<const char*>(bytes.data()), bytes.size()});
  }
  static Bytes Read(const std::string& path) {
    const std::string bytes = xmodemquarvel::testing::ReadFile(path);
    return Bytes(bytes.begin(), bytes.end());
  }

  xmodemquarvel::testing::TempDir dir_;
};

// Each conversion replaces the target and raises one event per block read,
// 1 to n, with the counter itself, which keeps n.
TEST_F(Files, ConversionsWriteTheTargetWithAnEventPerBlock) {
  // Records crossing the 1 MiB read pieces.
  std::mt19937 rng(12);
  const Bytes large = Source(rng, (3u << 20) + 333, kAlphabets[1]);
  const Bytes largePacked = Pack(large);
  EXPECT_TRUE(largePacked == reference::ReferencePacker().Pack(large));
  const Bytes chars300 = B("150*41 '0123456789' 140*7A");
  // The last code block and the end block alone in the last read piece.
  const Bytes alone = PackedFile(B("128*2E"), Cat(Bytes((1u << 20) - 128, 'A'), B("AF AF A2")));
  // clang-format off
  struct Row { Conversion convert; Bytes from, to; bool fails = false; };
  const Row rows[] = {
    {PackFile, {}, B("128*00")},
    {PackFile, B("00 FF 'k' ~E9"), B("00 FF 'k' ~E9 128*00")},
    {PackFile, chars300, Pack(chars300)},
    {PackFile, large, largePacked},
    {UnPackFile, B("00 FF 'k' ~E9"), B("00 FF 'k' ~E9")},
    {UnPackFile, {}, {}},
    {UnPackFile, Pack(chars300), Padded(chars300)},
    {UnPackFile, B("128*2E 128*61 06 F9 D0 F9 D0 F9 D5 ~00"), B("128*2E 256*61")},
    {UnPackFile, B("128*78 05 AF AF AF 9E"), B("128*78 128*20")},
    {UnPackFile, largePacked, Padded(large)},
    {UnPackFile, alone, Cat(B("128*2E"), Bytes((1u << 20) - 128, 'A'), B("128*20"))},
    {UnPackFile, B("128*2E C8 AF AF A2 124*41"), B("128*2E 128*20"), true},
    {PackFile, B("'k'"), B("'k' ~20 128*00")},
  };
  // clang-format on
  const mode_t mask = ::umask(0);
  ::umask(mask);
  for (const Row& row : rows)
    for (const Conversion convert : BothWays(row.convert)) {
      SCOPED_TRACE(row.from.size());
      Write(P("from"), row.from);
      // Every other target exists before; one that is created gets the usual mode.
      if ((&row - rows) % 2) Write(P("to"), B("1000*23"));
      int32_t count = -1, events = 0;
      const BlockEvent event = [&](int32_t& NumBloc) {
        EXPECT_EQ(&NumBloc, &count);
        EXPECT_EQ(NumBloc, ++events);
      };
      const auto failure = FailureOf([&] { convert(P("from"), P("to"), count, event, {}); });
      EXPECT_EQ(failure.code(),
                row.fails ? std::make_error_code(std::errc::invalid_argument) : std::error_code());
      EXPECT_EQ(events, static_cast<int32_t>((row.from.size() + 127) / 128));
      EXPECT_EQ(count, events);
      EXPECT_TRUE(Read(P("to")) == row.to);
      EXPECT_EQ(fs::status(P("to")).permissions(), fs::perms(0666 & ~mask));
      fs::remove(P("to"));
    }
}

// A source that is missing or a directory fails before the target is
// touched; a target that cannot be created or written fails too.
TEST_F(Files, FailuresCarryTheSystemErrorAndItsText) {
  fs::create_directory(P("dir"));
  Write(P("src"), B("1000*61"));
  // clang-format off
  struct Row { Conversion convert; std::string from, to; std::errc error; std::string text; };
  const Row rows[] = {
    {PackFile, P("none"), P("keep"), std::errc::no_such_file_or_directory, "Fichier introuvable : " + P("none")},
    {UnPackFile, P("none"), P("new"), std::errc::no_such_file_or_directory, "Fichier introuvable : " + P("none")},
    {PackFile, P("dir"), P("new"), std::errc::is_a_directory, "Impossible d'ouvrir " + P("dir")},
    {UnPackFile, P("dir"), P("keep"), std::errc::is_a_directory, "Impossible d'ouvrir " + P("dir")},
    {PackFile, P("src"), P("no/packed"), std::errc::no_such_file_or_directory, "Impossible de créer " + P("no/packed")},
    {PackFile, P("src"), "/dev/full", std::errc::no_space_on_device, "Erreur d'écriture dans /dev/full"},
    {UnPackFile, P("src"), "/dev/full", std::errc::no_space_on_device, "Erreur d'écriture dans /dev/full"},
    {Descriptors<false>, P("src"), "/dev/full", std::errc::no_space_on_device, "Erreur d'écriture dans /dev/full"},
    {Descriptors<true>, P("src"), "/dev/full", std::errc::no_space_on_device, "Erreur d'écriture dans /dev/full"},
  };
  // clang-format on
  for (const Row& row : rows) {
    if (row.to == "/dev/full" && !fs::exists(row.to)) continue;
    Write(P("keep"), B("'keep-me'"));
    int32_t count = 0;
    const auto failure = FailureOf([&] { row.convert(row.from, row.to, count, {}, {}); });
    EXPECT_EQ(failure.code(), row.error);
    EXPECT_THAT(failure.what(), ::testing::HasSubstr(row.text));
    EXPECT_EQ(Read(P("keep")), B("'keep-me'"));
    EXPECT_FALSE(fs::exists(P("new")));
  }
}

// A failure part-way (here a handler that throws) keeps in the target every
// block produced before it: the whole packed blocks of the blocks coded, or the
// blocks completed from the code blocks read.
TEST_F(Files, AFailurePartWayKeepsEveryBlockProducedBefore) {
  std::mt19937 rng(3);
  const Bytes source = Source(rng, (1u << 21) + 77, kAlphabets[1]);
  const Bytes packed = Pack(source);
  Write(P("src"), source);
  Write(P("packed"), packed);
  const auto stopAt = [](int32_t last) {
    return [last](int32_t& n) {
      if (n == last) throw std::runtime_error("stop");
    };
  };
  int32_t count = 0;
  for (const int32_t last : {1, 2, 9000, 16000})
    for (const Conversion pack : BothWays(PackFile)) {
      EXPECT_THROW(pack(P("src"), P("out"), count, stopAt(last), {}), std::runtime_error);
      // Packing the first blocks alone gives the same code, and an end block.
      const Bytes alone = Pack(Bytes(source.begin(), source.begin() + 128 * last));
      EXPECT_TRUE(Read(P("out")) == Bytes(alone.begin(), alone.end() - 128)) << last;
    }
  const auto blocks = static_cast<int32_t>(packed.size() / 128);
  for (const int32_t last : {1, 2, 3, blocks / 2, blocks})
    for (const Conversion unpack : BothWays(UnPackFile)) {
      EXPECT_THROW(unpack(P("packed"), P("out"), count, stopAt(last), {}), std::runtime_error);
      // Code blocks 2 to last - 1 have been decoded.
      const auto read = static_cast<std::ptrdiff_t>(128 * std::max(1, last - 1));
      EXPECT_TRUE(Read(P("out")) ==
                  Decode(Cat(Bytes(packed.begin(), packed.begin() + read), B("128*00"))).out)
          << last;
    }
}

// Events only while tracing, stopping as soon as a handler switches it off;
// another operation started from a handler is refused. Failures reach the host
// as exceptions, without the Error event, and leave the error record alone.
TEST_F(Files, ModuleXmodemRows) {
  xmodemquarvel::testing::SimulatedWorld world;
  ModuleXmodem& m = *world.module;
  world.modem->HoldCts(false);
  ASSERT_EQ(m.Connect(1), rvCTS);
  const std::string source = m.ErrorSource(), description = m.ErrorDescription();
  std::vector<int32_t> packed, unpacked;
  m.BlocPacked = [&](int32_t& n) {
    packed.push_back(n);
    EXPECT_THROW(m.UnPackFile(P("src"), P("other")), std::logic_error);
    m.Trace(n < 2);
  };
  m.BlocUnpacked = [&](int32_t& n) {
    unpacked.push_back(n);
    m.Trace(false);
  };
  Write(P("src"), B("300*41"));
  m.PackFile(P("src"), P("packed"));
  m.UnPackFile(P("packed"), P("out"));
  m.Trace(true);
  m.PackFile(P("src"), P("packed"));
  m.Trace(true);
  m.UnPackFile(P("packed"), P("out"));
  EXPECT_EQ(packed, (std::vector<int32_t>{1, 2}));
  EXPECT_EQ(unpacked, (std::vector<int32_t>{1}));
  EXPECT_EQ(Read(P("out")), B("300*41 ~20"));

  Write(P("bad"), B("128*20 C8 127*5A"));
  EXPECT_EQ(FailureOf([&] { m.PackFile(P("missing"), P("bad")); }).code(),
            std::errc::no_such_file_or_directory);
  EXPECT_EQ(FailureOf([&] { m.UnPackFile(P("bad"), P("out")); }).code(),
            std::errc::invalid_argument);
  EXPECT_EQ(m.ErrorSource(), source);
  EXPECT_EQ(m.ErrorDescription(), description);

  // Abort stops a packing before its next megabyte of source.
  Write(P("big"), Bytes((std::size_t{1} << 21) + 5, 0x41));
  int32_t last = 0;
  m.BlocPacked = [&](int32_t& n) {
    if (n == 1) {
      EXPECT_TRUE(m.Abort());
    }
    last = n;
  };
  m.Trace(true);
  const std::system_error stopped = FailureOf([&] { m.PackFile(P("big"), P("big.pk")); });
  EXPECT_EQ(stopped.code(), std::errc::operation_canceled);
  EXPECT_EQ(std::string(stopped.what()).rfind("Opération interrompue", 0), 0u) << stopped.what();
  EXPECT_EQ(last, (1 << 20) / 128);
  EXPECT_FALSE(m.Abort()) << "nothing runs any more";
  EXPECT_TRUE(world.errors.empty());
}

}  // namespace
}  // namespace xmodemquarvel::pack::test
