// Byte-exact vectors of the packed format, checked on the coder and on the
// plain model that the randomized tests trust, and the unpacking's check of
// the code it reads. Then the coder against that model on random sources and
// random, damaged or corrupt packed files, through every way in: memory,
// pieces of whole blocks through the smallest buffers, and the unpacker
// itself with each store variant, handed one byte or a random number of bytes
// at a time.
#include <gtest/gtest.h>

#include <array>

#include "PackTestSupport.h"
#include "pack/Packer.h"
#include "pack/Unpacker.h"

namespace xmodemquarvel::pack::test {
namespace {

// `plain` packs into `packed` (given as the code stream after its first block
// for kCode rows, as a whole file for kFile rows), which unpacks back into it;
// kReads rows only unpack, kRefused ones are refused after the blocks given.
enum Kind { kCode, kFile, kReads, kRefused };

TEST(PackedFormat, Vectors) {
  // clang-format off
  struct Row { const char* plain; const char* packed; Kind kind = kCode; };
  const Row rows[] = {
    // Every block after the first coded against the one before. An equal block;
    // the separator D0 between copy codes of 41 in one packed block.
    {"256*78", "F9 D0 F9 D0 F9 D5"},
    {"256*05", "F9 D0 F9 D0 F9 D5"},
    {"128*78 87*79 41*78 87*79 41*78", "CF 79 CF 79 C9 79 F9 D0 F9 D0 F9 D0 F9 D5"},
    {"128*78 'ccc' 62*'ab' 'a' 'ccc' 62*'ab' 'a'", "B3 63 62*'ab' 'a' F9 F9 D0 F9 D5"},
    {"128*78 'cccddd' 61*'ab' 'cccddd' 61*'ab'", "B3 63 B3 64 61*'ab' F9 D0 F9 D0 F9 D5"},
    {"128*78 'cccdddeee' 59*'ab' 'a' 'cccdddeee' 59*'ab' 'a'", "B3 63 B3 64 B3 65 59*'ab' 'a' F9 D0 F9 F9 D5"},
    {"128*78 'cccdddeee' 59*'ab' 'a' 128*20", "B3 63 B3 64 B3 65 59*'ab' 'a' AF AF A2"},
    // Equal runs and the changed spans between them.
    {"128*78 46*79 82*78", "CF 79 BF 79 F9 F9"},
    {"86*78 42*80 86*79 42*80", "CF 79 CF 79 C8 79 F9 FA 80"},
    {"128*78 'AxB' ~78", "41 78 42 F9 D0 F9 D0 F9 D2"},
    {"128*78 'AxxB' ~78", "41 D2 42 F9 D0 F9 D0 F9 78"},
    {"128*78 'xA' ~78", "78 41 F9 D0 F9 D0 F9 D3"},
    {"128*78 126*78 'Ax'", "F9 D0 F9 D0 F9 D3 41 78"},
    {"128*78 125*78 'Axx'", "F9 D0 F9 D0 F9 D2 41 D2"},
    {"128*78 64*'ab'", "64*'ab'"},
    {"128*78 64*'\x80\x81'", "64*'\xFA\x80\xFA\x81'"},
    // Digit strings.
    {"128*78 '1234' ~78", "01 23 4F F9 D0 F9 D0 F9 78"},
    {"128*78 '12345' ~78", "01 23 45 FF F9 D0 F9 F9"},
    {"128*78 '123' ~78", "31 32 33 F9 D0 F9 D0 F9 D2"},
    {"128*78 'AB12C3456' ~78", "41 42 31 32 43 03 45 6F F9 D0 F9 F5"},
    {"128*78 '0000' ~78", "00 B3 FF F9 D0 F9 D0 F9 78"},
    {"128*78 16*37 ~78", "07 BF FF F9 D0 F9 EE"},
    {"128*78 17*37 ~78", "07 C0 FF F9 D0 F9 ED"},
    {"128*78 31*37 ~78", "07 CE FF F9 D0 F9 DF"},
    {"128*78 32*37 ~78", "07 CE 7F F9 D0 F9 DE"},
    {"128*78 100*37 ~78", "07 CE 7C E7 CE 7B 6F EC"},
    {"128*78 '555A' ~78", "B3 35 41 F9 D0 F9 D0 F9 78"},
    {"128*78 '98765A' ~78", "09 87 65 FF 41 F9 D0 F9 F8"},
    {"128*78 '1111A222' ~78", "01 B3 FF 41 B3 32 F9 D0 F9 F6"},
    // Runs and escapes.
    {"128*78 48*20 ~78", "AF 20 F9 F7"},
    {"128*78 94*20 ~78", "AF AF F2"},
    {"128*78 95*20 ~78", "AF AF 20 F1"},
    {"128*78 'A' 2*20 'B' ~78", "41 82 42 F9 D0 F9 D0 F9 78"},
    {"128*78 32*41 ~78", "CF 41 41 F9 D0 F9 DE"},
    {"128*78 33*41 ~78", "CF 41 41 41 F9 D0 F9 DD"},
    {"128*78 34*41 ~78", "CF 41 B3 41 F9 D0 F9 DC"},
    {"128*78 'AA' ~78", "41 41 F9 D0 F9 D0 F9 D3"},
    {"128*78 FA ~78", "FB FA F9 D0 F9 D0 F9 D4"},
    {"128*78 05 ~78", "FA 05 F9 D0 F9 D0 F9 D4"},
    {"128*78 E9 ~78", "FA E9 F9 D0 F9 D0 F9 D4"},
    {"128*78 FB FF ~78", "FA FB FA FF F9 D0 F9 D0 F9 D3"},
    {"128*78 09 0A 7F ~78", "FA 09 0A 7F F9 D0 F9 D0 F9 D2"},
    {"128*78 4*E9 ~78", "B4 E9 F9 D0 F9 D0 F9 78"},
    {"128*78 2*FA ~78", "FB FA FB FA F9 D0 F9 D0 F9 D3"},
    {"128*78 3*FA ~78", "B3 FA F9 D0 F9 D0 F9 D2"},
    // Whole packed files: the worked example, corrupt and unusual streams, the
    // end block's count, short and missing blocks.
    {"128*20 'REF' 20 '000012345' ~20", "128*20 0D 52 45 46 20 00 B3 12 34 5F F9 D0 F9 F1 ~00", kFile},
    {"'abc' ~20", "'abc' ~20 128*00", kFile},
    {"00 FF FA 05 ~E9", "00 FF FA 05 ~E9 128*00", kFile},
    // Literals, escapes and repeat codes, whatever byte they govern.
    {"128*2E FA ~20", "128*2E 05 FB FA AF AF A1 ~00", kFile},
    {"128*2E 05 ~20", "128*2E 05 FA 05 AF AF A1 ~00", kFile},
    {"128*20 FA FB ~20", "128*20 07 FA FA FA FB AF AF A0 ~00", kReads},
    {"128*2E 4*E9 ~20", "128*2E 05 B4 E9 AF AF 9E ~00", kFile},
    {"128*2E 4*FA ~20", "128*2E 05 B4 FA AF AF 9E ~00", kFile},
    {"128*2E 4*05 ~20", "128*2E 05 B4 05 AF AF 9E ~00", kFile},
    {"128*20 FC FD FE FF ~20", "128*20 07 FC FD FE FF AF AF 9E ~00", kReads},
    {"128*20 'A' ~20", "128*20 07 D0 80 B0 41 AF AF A1 ~00", kReads},
    {"128*20 'A' 20 ~20", "128*20 06 41 80 81 AF AF A0 ~00", kReads},
    // Digit mode: a count of 15 is no end; 10, 13 and 14 mean nothing; a
    // repeat left pending by the end of digit mode.
    {"128*20 16*37 '123' ~20", "128*20 07 07 BF 12 3F AF AF 8F ~00", kReads},
    {"128*20 '15A' ~20", "128*20 06 01 5F 41 AF AF 9F ~00", kReads},
    {"128*20 '123A' ~20", "128*20 07 01 23 FF 41 AF AF 9E ~00", kReads},
    {"128*20 32*39 ~20", "128*20 06 09 CF AF AF AF 82 ~00", kReads},
    {"128*20 '230' ~20", "128*20 07 02 AD E3 F0 AF AF 9F ~00", kReads},
    {"128*20 '222230' ~20", "128*20 08 02 AD B3 E3 F0 AF AF 9C ~00", kReads},
    {"128*20 '1' 16*41 5*31 ~20", "128*20 08 01 FC 41 05 FF AF AF 8C ~00", kReads},
    {"128*20 '3AAA' ~20", "128*20 08 03 FB 41 02 FF AF AF 9E ~00", kReads},
    {"128*20 '1AAA1111' ~20", "128*20 09 01 FB B3 41 04 FF AF AF 9A ~00", kReads},
    // A copy over the end of an output block takes the rest from the block just completed.
    {"100*2E 'abcdefghijklmnopqrstuvwxyz01' 100*51 'abcdefghijklmnopqrstuvwxyz01' 13*51 ~20", "100*2E 'abcdefghijklmnopqrstuvwxyz01' 0C CF 51 CF 51 CF 51 B7 51 F9 AF AF 95 ~00", kReads},
    // Codes cut by the end of a code block go on in the next one.
    {"128*20 127*41 05", "128*20 127*41 FA 01 05 ~00", kReads},
    {"128*20 124*41 4*FF", "128*20 D0 D0 D0 124*41 B4 01 FF ~00", kReads},
    {"128*20 126*41 '1234' ~20", "128*20 126*41 01 23 04 4F AF AF A0 ~00", kReads},
    {"128*20 126*41 32*35 '3' ~20", "128*20 126*41 05 CF 04 3F AF AF 83 ~00", kReads},
    // The end block: only its counted bytes; above 127 they are decoded, then refused.
    {"128*2E", "128*2E 00 AF AF AF ~00", kReads},
    {"128*20", "128*20 04 41 AF AF A0 42 ~00", kReads},
    {"128*20 'A' 126*20 'B'", "128*20 05 41 AF AF A0 42 ~00", kReads},
    {"128*20 128*30", "128*20 7F ~00", kReads},
    {"128*20 128*30", "128*20 80 ~00", kRefused},
    {"256*20", "128*20 C8 AF AF A2 124*41", kRefused},
    // Short and missing blocks read as spaces; an incomplete last block and
    // codes left pending at the end are dropped.
    {"", "", kReads},
    {"'abc' ~E9", "'abc' ~E9", kReads},
    {"'ABC' ~20", "'ABC'", kReads},
    {"128*2E 126*51 2*20", "128*2E 0C CF 51 CF 51 CF 51 CF 51 B2 51", kReads},
    {"128*20", "128*20 03 41 42 43 ~00", kReads},
    {"256*20", "128*20 04 AF AF A2 FA ~00", kReads},
    {"256*20", "128*20 04 AF AF A2 B5 ~00", kReads},
    {"256*20", "128*20 05 AF AF A2 01 FB ~00", kReads},
    {"256*20", "128*20 04 AF AF A2 03 ~00", kReads},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.packed);
    const Bytes plain = B(row.plain), code = B(row.packed);
    const Bytes packed =
        row.kind == kCode ? PackedFile(Bytes(plain.begin(), plain.begin() + 128), code) : code;
    if (row.kind <= kFile) {
      EXPECT_EQ(ToHex(Pack(plain)), ToHex(packed));
      EXPECT_EQ(ToHex(reference::ReferencePacker().Pack(plain)), ToHex(packed));
    }
    EXPECT_EQ(Decode(packed), (Decoded{plain, row.kind == kRefused}));
    // What the packer writes passes the check of the code read; the other
    // streams fail it at their first coded block, once there is code.
    const std::size_t blocks = (packed.size() + 127) / 128;
    const bool hasCode = blocks > 2 || (blocks == 2 && packed[128] != 0);
    for (const RecodeCheck blocks : {RecodeCheck::kSampled, RecodeCheck::kEveryBlock}) {
      UnpackCheck check{blocks};
      Decode([&](Bytes& out) { UnpackBuffer(packed, out, &check); });
      EXPECT_EQ(check.firstDiffering, row.kind == kReads && hasCode ? 2 : 0);
    }
    EXPECT_EQ(Model(packed), (Decoded{plain, row.kind == kRefused}));
  }
}

// Blocks that differ from the one before at every position, coded as the
// packer does (128 literals) but for the blocks `other` picks, whose first
// literal is escaped as another packer might: the check of every block finds
// the first of them; samples compare blocks 2 to 65, then one in 256: the
// one due after block 320 is the block after the next that starts once a
// piece of code (1024 bytes) has taken the output there. With each block's
// code the block itself, a piece ends with block 321, and the sample is
// block 323; with a byte more in each block from 100 on, block 328 holds
// the end of that piece, and the sample is block 329.
TEST(PackedFormat, TheCheckComparesEveryBlockOrTheFirstAndThenOneIn256) {
  const auto block = [](int k) { return B(k % 2 ? "64*'ab'" : "64*'ba'"); };
  const auto file = [&](auto other, const char* after) {
    Bytes code;
    for (int k = 2; k <= 1000; ++k) {
      if (other(k)) code.push_back(0xFA);
      const Bytes b = block(k);
      code.insert(code.end(), b.begin(), b.end());
    }
    return PackedFile(block(1), Cat(code, B(after)));
  };
  const auto first = [](const Bytes& packed, RecodeCheck blocks) {
    UnpackCheck check{blocks};
    Bytes out;
    UnpackBuffer(packed, out, &check);
    return check.firstDiffering;
  };
  // Each block's code is the block itself, so the code blocks are the source.
  const Bytes every = file([](int) { return false; }, "");
  EXPECT_TRUE(every == Pack(Cat(block(1), Bytes(every.begin() + 128, every.end() - 128))));
  // clang-format off
  struct Row { int from, to; const char* after; std::int64_t every, sampled; };
  const Row rows[] = {
    {0, 0, "", 0, 0}, {65, 65, "", 65, 65}, {66, 66, "", 66, 0}, {100, 1000, "", 100, 329},
    {322, 322, "", 322, 0}, {323, 323, "", 323, 323}, {324, 324, "", 324, 0},
    // Code that gives nothing, or part of a block, after the last block:
    // never written by the packer.
    {0, 0, "D0", 1001, 0}, {0, 0, "41", 1001, 1001},
  };
  // clang-format on
  for (const Row& row : rows) {
    const Bytes packed = file([&](int k) { return k >= row.from && k <= row.to; }, row.after);
    EXPECT_EQ(first(packed, RecodeCheck::kEveryBlock), row.every) << row.from;
    EXPECT_EQ(first(packed, RecodeCheck::kSampled), row.sampled) << row.from;
  }
}

// A source read in pieces of one to three whole blocks, each one in a buffer
// that the next one overwrites, like a file read; only the last is short.
struct Pieces final : ChunkSource {
  Pieces(const Bytes& bytes, std::mt19937& rng) : bytes(bytes), rng(rng) {}
  ByteRange Next() override {
    const std::size_t n = std::min<std::size_t>(bytes.size() - at, 128 * (1 + rng() % 3));
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), n, buffer.begin());
    at += n;
    return {buffer.data(), n};
  }
  const Bytes& bytes;
  std::mt19937& rng;
  std::size_t at = 0;
  std::array<std::uint8_t, 384> buffer{};
};

// Packs or unpacks `from`, read in pieces, through buffers of the smallest sizes.
using Stream = void (*)(ChunkSource&, ByteSink&, int32_t&, const BlockEvent&, std::size_t);
void InPieces(Stream stream, const Bytes& from, ByteSink& to, std::mt19937& rng) {
  Pieces reader(from, rng);
  int32_t count = 0;
  stream(reader, to, count, {}, rng() % 700);
}

std::vector<Decoded> DecodeAllWays(const Bytes& packed, std::mt19937& rng) {
  std::vector<Decoded> ways{Decode(packed), Decode([&](Bytes& out) {
                              VectorSink sink(out);
                              InPieces(UnpackStream, packed, sink, rng);
                            })};
  const Bytes file = Padded(packed);
  for (const bool portable : {false, true}) {
    if (file.size() < 256) break;
    ways.push_back(Decode([&](Bytes& out) {
      VectorSink sink(out);
      Unpacker unpacker(sink, rng() % 300);
      if (portable) unpacker.UsePortableDecoder();
      unpacker.Start(file.data());
      // Single bytes half of the time.
      for (std::size_t at = 128, n; at < file.size() - 128; at += n) {
        n = std::min<std::size_t>(file.size() - 128 - at, rng() % 2 ? 1 : 1 + rng() % 200);
        unpacker.UnpackBytes({file.data() + at, n});
      }
      const bool valid = unpacker.UnpackEndBlock(file.data() + file.size() - 128);
      unpacker.Finish();
      sink.Settle();
      if (!valid) throw std::system_error(std::make_error_code(std::errc::invalid_argument));
    }));
  }
  return ways;
}

TEST(RoundTrip, SourcesPackLikeTheModelAndComeBackFilledWithSpaces) {
  std::mt19937 rng(1);
  for (int i = 0; i < 6000; ++i) {
    // Half of the sizes within two characters of whole blocks.
    const std::size_t n =
        i % 2 ? rng() % 1500 : std::max(0, 128 * int(rng() % 12) + int(rng() % 5) - 2);
    const Bytes source = Source(rng, n, kAlphabets[i % 3]);
    const Bytes packed = Pack(source);
    ASSERT_EQ(ToHex(packed), ToHex(reference::ReferencePacker().Pack(source))) << i;
    UnpackCheck check{RecodeCheck::kEveryBlock};
    Bytes unpacked;
    UnpackBuffer(packed, unpacked, &check);
    ASSERT_EQ(check.firstDiffering, 0) << i;
    Bytes pieces;
    VectorSink sink(pieces);
    InPieces(PackStream, source, sink, rng);
    ASSERT_EQ(pieces, packed) << i;
    // The coder built for any processor, and the one of processors without
    // SSE2, code alike where the AVX2 one runs.
    for (const Packer::Coder coder : {Packer::Coder::kPortable, Packer::Coder::kPlain}) {
      Bytes other;
      VectorSink other_sink(other);
      Packer packer(other_sink, 4096);
      packer.UseCoder(coder);
      const Bytes blocks = Padded(source);
      for (std::size_t at = 0; at < blocks.size(); at += 128)
        packer.PackBlock(blocks.data() + at, static_cast<std::int64_t>(at / 128));
      packer.Finish();
      other_sink.Settle();
      ASSERT_EQ(other, packed) << i << " coder " << static_cast<int>(coder);
    }
    // A lone end block reads back as a raw block of NULs.
    const Decoded plain{source.empty() ? B("128*00") : Padded(source)};
    for (const Decoded& way : DecodeAllWays(packed, rng)) ASSERT_EQ(way, plain) << i;
  }
}

// Random code streams, damaged and cut packed files, end blocks refused; each
// kind of code (digit strings: ending after a digit or on a full pair, a
// repeat after pairs, longer than one 16-byte step) placed at every offset
// around the end of the first code block,
// the copy code after every output fill near the end of a block.
TEST(RoundTrip, AnyBytesDecodeLikeTheModel) {
  std::mt19937 rng(2);
  std::vector<Bytes> files;
  for (const char* code : {"05 12 34 5F", "05 12 34 FF", "02 34 5B 2F", "03 B5 2F", "07 C3 1F",
                           "FA 05", "FB FA", "B4 E9", "B4 05", "0B 3F", "01 FB 41 00 B2 AF",
                           "F9 03 45 6F", "01 23 45 67 89 01 23 45 67 89 01 23 45 67 89 01 23 4F"})
    for (std::size_t k = 80; k <= 130; ++k)
      files.push_back(
          PackedFile(Source(rng, 128, ""), Cat(Bytes(k, 'A'), B(code), B("F9 D0 F9 41 42 43"))));
  for (int i = 0; i < 3000; ++i) {
    Bytes packed =
        i % 2 ? PackedFile(Source(rng, 128, ""), Source(rng, rng() % 1200, kAlphabets[i % 4]))
              : Pack(Source(rng, rng() % 1200, kAlphabets[i % 3]));
    for (int k = rng() % 4; k > 0; --k)
      packed[rng() % packed.size()] = static_cast<std::uint8_t>(rng());
    if (rng() % 8 == 0) packed[(packed.size() - 1) / 128 * 128] |= 0x80;
    if (rng() % 5 == 0) packed.resize(rng() % (packed.size() + 1));
    files.push_back(std::move(packed));
  }
  for (const Bytes& packed : files) {
    const Decoded expected = Model(packed);
    for (const Decoded& way : DecodeAllWays(packed, rng)) ASSERT_EQ(way, expected) << ToHex(packed);
  }
}

// After a failed write nothing more goes to the target, or the bytes written
// before the failure would be doubled.
TEST(RoundTrip, NothingIsWrittenAfterAFailedWrite) {
  struct FailsOnce final : ByteSink {
    void Write(ByteRange bytes) override {
      if (!std::exchange(failed, true))
        throw std::system_error(std::make_error_code(std::errc::io_error));
      after.insert(after.end(), bytes.data, bytes.data + bytes.size);
    }
    bool failed = false;
    Bytes after;
  };
  std::mt19937 rng(4);
  const Bytes source = Source(rng, 5000, "");
  for (const Stream stream : {PackStream, UnpackStream}) {
    FailsOnce sink;
    EXPECT_THROW(InPieces(stream, stream == PackStream ? source : Pack(source), sink, rng),
                 std::system_error);
    EXPECT_TRUE(sink.failed && sink.after.empty());
  }
}

}  // namespace
}  // namespace xmodemquarvel::pack::test
