#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "xmodemquarvel/Export.h"

/// @file
/// The packed format's two conversions on descriptors and on streams, for a
/// host that opens and checks its files itself (ModuleXmodem::PackFile and
/// UnPackFile open them by name). Constant memory whatever the file size.

namespace xmodemquarvel::pack {

/// Called after each block with the running count.
using BlockEvent = std::function<void(int32_t& NumBloc)>;

/// A run of bytes that its giver owns: given to ByteSink::Write(), valid
/// until the next Write() or Settle() returns; from ChunkSource::Next(),
/// valid until the next call. A pointer and a size rather than std::span,
/// since the public headers build as C++17.
struct ByteRange {
  const std::uint8_t* data = nullptr;  ///< The first byte; null when size is 0.
  std::size_t size = 0;                ///< How many bytes.
};

/// Where the packer and the unpacker hand their output, in large pieces. A
/// failing sink throws; the conversion then stops with the exception.
class ByteSink {
 public:
  /// Takes the next piece of output. The bytes stay valid and unchanged
  /// until the next call of Write() or Settle() returns, so that a sink may
  /// go on writing them after Write() has returned: the conversions fill two
  /// buffers in turn.
  virtual void Write(ByteRange bytes) = 0;
  /// Returns once the sink no longer reads any bytes it was given, and
  /// throws a failure met since; the conversions call it before their
  /// buffers go. A sink that takes the bytes at once has nothing to do.
  virtual void Settle() {}

 protected:
  ~ByteSink() = default;
};

/// A source read in pieces. Every piece but the last holds whole 128-byte
/// blocks; an empty piece ends the source.
class ChunkSource {
 public:
  /// The next piece of the source; of size 0 at its end.
  virtual ByteRange Next() = 0;

 protected:
  ~ChunkSource() = default;
};

/// Which blocks an unpacking codes again, to compare with the code that it
/// read: a file this packer wrote gives the same code for every block; one
/// from a packer that made other choices, or a damaged one, most often does
/// not, and still unpacks.
enum class RecodeCheck {
  kNone,        ///< no comparison
  kSampled,     ///< blocks 2 to 65, then one block in 256, and the code must end
                ///< where a block ends: a few per cent of an unpacking
  kEveryBlock,  ///< every block: about as long as packing again
};

/// What an unpacking checks of the code it reads, and what it found.
struct UnpackCheck {
  /// The blocks compared.
  RecodeCheck blocks = RecodeCheck::kSampled;
  /// Set once the whole file is decoded: 0 when every block compared had the
  /// code that the packer writes for it and the code ended where a block
  /// ends; otherwise the number of the first block of the unpacked file found
  /// otherwise, 1 being the first.
  std::int64_t firstDiffering = 0;
};

/// Packs between descriptors that the caller opened and checked: @p source
/// is read from its offset to its end, @p target written from its offset;
/// neither is closed. The names are those the messages give. @p BlocCount
/// counts the source blocks, and @p event, when set, is called after each
/// block with it. The reading and the writing run on threads of their own,
/// so that the kernel's copying overlaps the coding; the coding and the
/// events stay on the caller's thread.
/// @throws std::system_error on any read or write failure.
XMODEMQUARVEL_API void PackDescriptors(int source, const std::string& sourceName, int target,
                                       const std::string& targetName, int32_t& BlocCount,
                                       const BlockEvent& event);
/// Unpacks between descriptors, as PackDescriptors() packs; @p BlocCount
/// counts the packed blocks read. With @p check, the code read is compared
/// as it is decoded with what the packer writes (see RecodeCheck), and the
/// verdict goes to @p check.
/// @throws std::system_error on any read or write failure, and with
///   std::errc::invalid_argument when the end block's count is above 127.
XMODEMQUARVEL_API void UnpackDescriptors(int source, const std::string& sourceName, int target,
                                         const std::string& targetName, int32_t& BlocCount,
                                         const BlockEvent& event, UnpackCheck* check = nullptr);

/// The size of the pieces of output that the stream conversions hand on.
inline constexpr std::size_t kDefaultBufferSize = std::size_t{1} << 20;
/// Packs @p source into @p target, in pieces of about @p bufferSize bytes;
/// @p BlocCount and @p event as PackDescriptors() has them.
/// @throws what the source or the sink throws.
XMODEMQUARVEL_API void PackStream(ChunkSource& source, ByteSink& target, int32_t& BlocCount,
                                  const BlockEvent& event,
                                  std::size_t bufferSize = kDefaultBufferSize);
/// Unpacks @p source into @p target, as PackStream() packs.
/// @throws what the source or the sink throws, and std::system_error with
///   std::errc::invalid_argument when the end block's count is above 127.
XMODEMQUARVEL_API void UnpackStream(ChunkSource& source, ByteSink& target, int32_t& BlocCount,
                                    const BlockEvent& event,
                                    std::size_t bufferSize = kDefaultBufferSize);
/// The same, with the check of the code read that UnpackDescriptors() has.
XMODEMQUARVEL_API void UnpackStream(ChunkSource& source, ByteSink& target, int32_t& BlocCount,
                                    const BlockEvent& event, std::size_t bufferSize,
                                    UnpackCheck* check);

}  // namespace xmodemquarvel::pack
