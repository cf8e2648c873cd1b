#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "pack/ByteSink.h"
#include "pack/PackedFormat.h"

namespace xmodemquarvel::pack {

// Decodes the code stream of a packed file back into 128-byte blocks. Every
// byte sequence decodes without failing; a corrupt stream gives wrong
// characters. Complete output blocks collect in an internal buffer and go to
// the target in large pieces; memory use is fixed.
class Unpacker {
 public:
  // Output collects in a buffer of about outputSize bytes between two writes
  // to the target.
  static constexpr std::size_t kDefaultOutputSize = std::size_t{1} << 20;

  explicit Unpacker(ByteSink& target, std::size_t outputSize = kDefaultOutputSize);
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
  // Decodes with the portable 16-byte stores even where wider ones are
  // available; the output is the same. For tests.
  void UsePortableStores() { avx2_ = false; }

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

  void UnpackPiece(const std::uint8_t* code, const std::uint8_t* end);
  template <class Ops>
  void DecodeLoop(const std::uint8_t* code, const std::uint8_t* end);
  void DecodeAvx2(const std::uint8_t* code, const std::uint8_t* end);
  static void UnpackByRules(State& s, std::uint8_t c);
  static void UnpackNibble(State& s, int value);
  static void PutUnpackedChar(State& s, std::uint8_t c) { *s.out++ = c; }
  static void PutRepeated(State& s, std::uint8_t c, int count);
  void Drain();

  ByteSink& target_;
  // Layout: the 128 bytes before the current output block are always the
  // previous block, and the start of the buffer is a block boundary.
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::uint8_t* flushed_;
  std::uint8_t* limit_;
  State state_{};
  // Whether the processor has AVX2, for the wider stores.
  bool avx2_ = false;
};

}  // namespace xmodemquarvel::pack
