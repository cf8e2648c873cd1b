#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "pack/ByteSink.h"
#include "pack/PackedFormat.h"
#include "pack/Packer.h"

namespace xmodemquarvel::pack {

// The check of the code read (RecodeCheck) is public: xmodemquarvel/Packing.h.

// Decodes the code stream of a packed file back into 128-byte blocks. Every
// byte sequence decodes without failing; a corrupt stream gives wrong
// characters. Complete output blocks collect in one of two internal buffers
// and go to the target in large pieces, decoding going on in the other
// buffer; memory use is fixed.
class Unpacker {
 public:
  // Output collects in a buffer of about outputSize bytes between two writes
  // to the target.
  static constexpr std::size_t kDefaultOutputSize = std::size_t{1} << 20;
  // With RecodeCheck::kSampled: every block up to this one is compared, then
  // one in kSampleInterval.
  static constexpr std::int64_t kComparedFirst = 65;
  static constexpr std::int64_t kSampleInterval = 256;
  // The code stream is decoded in pieces of this many bytes, from its start:
  // the room left for the output, and whether a sample is due, are looked
  // at between two pieces. Each piece costs a little to start, so they hold
  // a few blocks.
  static constexpr std::size_t kCodePiece = 8 * kBlockSize;

  explicit Unpacker(ByteSink& target, std::size_t outputSize = kDefaultOutputSize,
                    RecodeCheck check = RecodeCheck::kNone);
  Unpacker(const Unpacker&) = delete;
  Unpacker& operator=(const Unpacker&) = delete;

  // Starts a run on the raw first block (128 bytes): it is the first block of
  // output and the previous block of the first coded one.
  void Start(const std::uint8_t* firstBlock);
  // Decodes the next bytes of the code stream; a code cut by the end of one
  // call goes on in the next.
  void UnpackBytes(std::span<const std::uint8_t> code);
  // Decodes the used part of the end block (128 bytes). Returns false when its
  // count is above 127: then its 127 data bytes have been decoded and the
  // file is corrupt.
  bool UnpackEndBlock(const std::uint8_t* endBlock);
  // Writes every complete block not yet written. An incomplete last block is
  // not written.
  void Finish();
  // Once the whole code stream is decoded: 0 when every block compared had
  // the code PackBlock writes for it and the code ended where a block ends
  // (always 0 without a check); otherwise the number of the first output
  // block found otherwise, 1 being the raw first block.
  std::int64_t FirstDifferingBlock() const;
  // Decodes with the code built for any processor of the architecture even
  // where the one for AVX2 could run; the output is the same. For tests.
  void UsePortableDecoder() { avx2_ = false; }

 private:
  // The decoder's registers. `mode` selects how the next byte is read; the
  // flags and the pending count are kept up to date only while it is the
  // general mode.
  struct State {
    std::uint8_t* out;
    int pendingCount;
    bool escape;
    bool digitMode;
    bool repeatPending;
    std::uint8_t lastChar;
    std::uint8_t mode;
  };

  // Where the comparison of blocks stands: waiting for the next sample,
  // decoding up to the end of the block before it, or gathering its code.
  enum class Phase { kIdle, kSeeking, kGathering, kDone };
  struct Check {
    RecodeCheck kind = RecodeCheck::kNone;
    Phase phase = Phase::kIdle;
    // Absolute output offsets: the block end being decoded to, and where
    // the next sample starts.
    std::int64_t stop = 0;
    std::int64_t nextSample = 0;
    // The code of the block being gathered, where it started in the code
    // stream, and the code byte before it.
    std::array<std::uint8_t, Packer::kMaxBlockCode> code{};
    std::size_t length = 0;
    std::int64_t codeStart = 0;
    std::uint8_t before = 0;
    bool overflow = false;
    std::int64_t firstDiffering = 0;
  };

  void DecodePiece(const std::uint8_t* code, const std::uint8_t* end);
  // Decodes from `code` up to `end`, or with kWatch until the output
  // reaches `stop` at the end of a code (see ReachedStop); returns where
  // it stopped.
  template <bool kWatch>
  const std::uint8_t* Decode(const std::uint8_t* code, const std::uint8_t* end,
                             const std::uint8_t* stop);
  template <class Ops, bool kWatch>
  const std::uint8_t* DecodeLoop(const std::uint8_t* code, const std::uint8_t* end,
                                 const std::uint8_t* stop);
  template <bool kWatch, bool kStrings>
  const std::uint8_t* DecodeAvx2(const std::uint8_t* code, const std::uint8_t* end,
                                 const std::uint8_t* stop);
  // The output has reached the block end `stop`: compares the block just
  // gathered, and starts gathering the next one or waits for the next sample.
  void AtBlockEnd(const std::uint8_t* code, const std::uint8_t* pieceStart);
  void Gather(const std::uint8_t* from, const std::uint8_t* to);
  void Differs(std::int64_t block);
  bool InNormalMode() const;
  // Absolute output offset of a position in the buffer, and back.
  std::int64_t Offset(const std::uint8_t* p) const { return origin_ + (p - base_); }
  std::uint8_t* At(std::int64_t offset) const { return base_ + (offset - origin_); }

  // Out of the decoding loop, which calls it rarely.
  [[gnu::noinline]] static void UnpackByRules(State& s, std::uint8_t c);
  static void UnpackNibble(State& s, int value);
  static void PutUnpackedChar(State& s, std::uint8_t c) { *s.out++ = c; }
  static void PutRepeated(State& s, std::uint8_t c, int count);
  void Drain();

  ByteSink& target_;
  // Two buffers used in turn (see Drain), with room after size_ bytes for a
  // piece's output. In the one in use, base_, the 128 bytes before the
  // current output block are always the previous block, and base_ is a block
  // boundary.
  std::size_t size_;
  std::unique_ptr<std::uint8_t[]> buffers_[2];
  std::uint8_t* base_;
  std::uint8_t* flushed_;
  // Absolute output offset of base_: the raw first block is at offsets 0 to
  // 127.
  std::int64_t origin_ = 0;
  State state_{};
  // Code bytes decoded so far, and a copy of the piece being decoded, after
  // the byte that came before it and with room for reads past its end.
  std::int64_t codeCount_ = 0;
  std::array<std::uint8_t, 1 + kCodePiece + 32> staging_{};
  Check check_;
  // Whether the processor has AVX2 and BMI1, for the wider decoder, and
  // whether that one decodes digit strings at once (see Decode).
  bool avx2_ = false;
  struct Strings {
    bool whole = true;
    std::uint32_t count = 0;
    std::size_t bytes = 0;
    std::size_t codeWithout = 0;
  } strings_;
};

}  // namespace xmodemquarvel::pack
