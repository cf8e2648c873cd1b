// The coder against the plain model on random sources and random, damaged or
// corrupt packed files, through every way in: memory, pieces of whole blocks
// through the smallest buffers, and the unpacker itself with each store
// variant, handed one byte or a random number of bytes at a time.
#include <gtest/gtest.h>

#include <array>

#include "PackTestSupport.h"
#include "pack/Packer.h"
#include "pack/Unpacker.h"

namespace xmodemquarvel::pack::test {
namespace {

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
    // The coder built for any processor codes alike where the AVX2 one runs.
    Bytes portable;
    VectorSink portable_sink(portable);
    Packer packer(portable_sink, 4096);
    packer.UsePortableCoder();
    const Bytes blocks = Padded(source);
    for (std::size_t at = 0; at < blocks.size(); at += 128)
      packer.PackBlock(blocks.data() + at, static_cast<std::int64_t>(at / 128));
    packer.Finish();
    portable_sink.Settle();
    ASSERT_EQ(portable, packed) << i << " portable coder";
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
