// The comparison of the code read with the code that the packer writes for
// the blocks decoded from it: the code of a block is gathered from the end
// of the block before to its own end, then coded again and compared.
#include <cstring>

#include "pack/Packer.h"
#include "pack/Unpacker.h"

namespace xmodemquarvel::pack {

void Unpacker::Gather(const std::uint8_t* from, const std::uint8_t* to) {
  Check& k = check_;
  const auto n = static_cast<std::size_t>(to - from);
  if (k.overflow || n > k.code.size() - k.length) {
    // Longer than any block's code.
    k.overflow = true;
    return;
  }
  std::memcpy(k.code.data() + k.length, from, n);
  k.length += n;
}

void Unpacker::Differs(std::int64_t block) {
  check_.firstDiffering = block;
  check_.phase = Phase::kDone;
}

void Unpacker::AtBlockEnd(const std::uint8_t* code, const std::uint8_t* pieceStart) {
  Check& k = check_;
  // A code that runs over the end of a block: never written by the packer,
  // which codes every block on its own.
  if (Offset(state_.out) != k.stop || !InNormalMode()) {
    Differs(k.stop / static_cast<std::int64_t>(kBlockSize));
    return;
  }
  if (k.phase == Phase::kGathering) {
    const std::uint8_t* const block = At(k.stop - static_cast<std::int64_t>(kBlockSize));
    Packer::CodeRoom room;
    const auto fill = static_cast<std::size_t>(k.codeStart % static_cast<std::int64_t>(kBlockSize));
    const auto expected = Packer::CodeOf(block - kBlockSize, block, fill, k.before, room);
    if (k.overflow || expected.size() != k.length ||
        std::memcmp(expected.data(), k.code.data(), k.length) != 0) {
      Differs(k.stop / static_cast<std::int64_t>(kBlockSize));
      return;
    }
    if (k.kind != RecodeCheck::kEveryBlock &&
        k.stop / static_cast<std::int64_t>(kBlockSize) >= kComparedFirst) {
      k.phase = Phase::kIdle;
      k.nextSample = k.stop + (kSampleInterval - 1) * static_cast<std::int64_t>(kBlockSize);
      return;
    }
  }
  // The next block's code starts here.
  k.phase = Phase::kGathering;
  k.length = 0;
  k.overflow = false;
  k.codeStart = codeCount_ + (code - pieceStart);
  // The piece's copy has the byte before it in front.
  k.before = code[-1];
  k.stop += static_cast<std::int64_t>(kBlockSize);
}

std::int64_t Unpacker::FirstDifferingBlock() const {
  if (check_.kind == RecodeCheck::kNone || check_.firstDiffering != 0) return check_.firstDiffering;
  // The code of the last block ends where the block does, and nothing
  // follows it.
  const std::int64_t end = Offset(state_.out);
  const bool more = check_.phase == Phase::kGathering && (check_.length > 0 || check_.overflow);
  if (end % static_cast<std::int64_t>(kBlockSize) != 0 || !InNormalMode() || more)
    return end / static_cast<std::int64_t>(kBlockSize) + 1;
  return 0;
}

}  // namespace xmodemquarvel::pack
