#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "pack/ByteSink.h"
#include "pack/PackedFormat.h"

namespace xmodemquarvel::pack {

// Codes a source, one 128-byte block at a time, into the packed format. The
// packed bytes collect in one of two internal buffers and go to the target in
// large pieces made of whole 128-byte packed blocks, the next piece
// collecting in the other buffer; Finish adds the end block. Memory use is
// fixed, whatever the size of the source.
class Packer {
 public:
  // The longest coding of one block: every character escaped.
  static constexpr std::size_t kMaxBlockCode = 2 * kBlockSize;

  // Packed output collects in a buffer of about bufferSize bytes between two
  // writes to the target.
  static constexpr std::size_t kDefaultBufferSize = std::size_t{1} << 20;
  static constexpr std::size_t kMinBufferSize = kBlockSize + kMaxBlockCode;

  explicit Packer(ByteSink& target, std::size_t bufferSize = kDefaultBufferSize);
  Packer(const Packer&) = delete;
  Packer& operator=(const Packer&) = delete;

  // Codes `current` (128 bytes) against the block coded before it. With
  // BlocCount below 1 the block is the first one and is written raw.
  void PackBlock(const std::uint8_t* current, std::int64_t BlocCount);
  // Writes the packed blocks still held, then the end block.
  void Finish();
  // Writes the whole packed blocks still held and keeps the partial one: what
  // the target holds when packing stops on a failure.
  void Flush() { Drain(); }
  // The coders, which all write the same code: the one built for AVX2, BMI1
  // and BMI2 runs where the processor has them, the one built for any
  // processor of the architecture (SSE2 on x86-64) elsewhere. The plain one
  // is the portable coder of processors without SSE2; it is built everywhere
  // so that the tests run it too.
  enum class Coder { kPlain, kPortable, kAvx2 };
  // Codes with `coder` rather than the fastest; for tests. kAvx2 only where
  // the processor has it.
  void UseCoder(Coder coder) { coder_ = coder; }

  // The coder writes in pieces of up to 16 bytes, and so up to 16 bytes
  // past the end of a block's code; the buffer has this much room more.
  static constexpr std::size_t kStoreSlack = 32;
  // Room for CodeOf: the bytes of the packed block before the code, the
  // code, and what the coder may write past it.
  using CodeRoom = std::array<std::uint8_t, kBlockSize + kMaxBlockCode + kStoreSlack>;
  // The code that PackBlock writes for `current` coded against `previous`
  // (128 bytes each) when the packed block being filled holds `fill` bytes
  // (0 to 127), the last of them `before`: what an unpacking compares with
  // the code it read. The code is written into `room`.
  static std::span<const std::uint8_t> CodeOf(const std::uint8_t* previous,
                                              const std::uint8_t* current, std::size_t fill,
                                              std::uint8_t before, CodeRoom& room);

 private:
  // A held block sits at kHeldBefore in its array: the coder reads the byte
  // before it and up to 32 bytes past its end.
  static constexpr std::size_t kHeldBefore = 32;
  static constexpr std::size_t kHeldSize = kHeldBefore + kBlockSize + 32;

  // Number of bytes in the packed block being filled.
  std::size_t FillCount() const { return static_cast<std::size_t>(out_ - base_) % kBlockSize; }
  // Hands the whole packed blocks to the target and keeps the partial one.
  void Drain();

  ByteSink& target_;
  // Two buffers of size_ bytes and room after, used in turn (see Drain). The
  // start of the one in use, base_, is always the start of a packed block, so
  // the fill count is the write offset modulo 128.
  std::size_t size_;
  std::unique_ptr<std::uint8_t[]> buffers_[2];
  std::uint8_t* base_;
  std::uint8_t* out_;
  std::array<std::uint8_t, kBlockSize> endBlock_{};
  // The block being coded and the block before it, each at kHeldBefore in
  // its array; the two swap roles after every block.
  alignas(32) std::array<std::uint8_t, kHeldSize> held_[2]{};
  std::uint8_t* current_ = held_[0].data() + kHeldBefore;
  std::uint8_t* previous_ = held_[1].data() + kHeldBefore;
  // The values of one digit string, with room for the coder's wide reads
  // and writes.
  std::array<std::uint8_t, kBlockSize + 32> values_{};
  Coder coder_ = Coder::kPortable;
};

}  // namespace xmodemquarvel::pack
