#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "pack/ByteSink.h"
#include "pack/Unpacker.h"

namespace xmodemquarvel::pack {

using BlockEvent = std::function<void(int32_t& NumBloc)>;
// Called before each piece of a source file is read (a megabyte): it throws
// to stop the conversion there, as a failure part-way does.
using AbortCheck = std::function<void()>;

// Packs FileSource into FilePacked. BlocCount is set to 0 at the start and
// counts the source blocks; when `event` is set it is called after each block
// with BlocCount itself. Throws std::system_error on any file failure; the
// source is opened first, so a missing source leaves FilePacked untouched.
void PackFile(const std::string& FileSource, const std::string& FilePacked, int32_t& BlocCount,
              const BlockEvent& event, const AbortCheck& check = {});
// Unpacks the packed file FileSource into FileUnpacked. BlocCount counts the
// packed blocks read. Throws std::system_error on any file failure, and with
// std::errc::invalid_argument when the end block's count is above 127 (the
// blocks decoded before stay in FileUnpacked).
void UnPackFile(const std::string& FileSource, const std::string& FileUnpacked, int32_t& BlocCount,
                const BlockEvent& event, const AbortCheck& check = {});

// The same two conversions between descriptors that the caller opened (and
// checked): `source` is read from its offset to its end, `target` written
// from its offset; neither is closed. The names are those the messages give.
// The reading and the writing run on threads of their own (see Overlapped.h);
// the coding and the events stay on the caller's thread.
void PackDescriptors(int source, const std::string& sourceName, int target,
                     const std::string& targetName, int32_t& BlocCount, const BlockEvent& event);
// What an unpacking checks of the code it reads, and what it found.
struct UnpackCheck {
  RecodeCheck blocks = RecodeCheck::kSampled;
  // Set once the whole file is decoded: see Unpacker::FirstDifferingBlock.
  std::int64_t firstDiffering = 0;
};

void UnpackDescriptors(int source, const std::string& sourceName, int target,
                       const std::string& targetName, int32_t& BlocCount, const BlockEvent& event,
                       UnpackCheck* check = nullptr);

// A source read in pieces. Every piece but the last holds whole 128-byte
// blocks; an empty piece ends the source.
class ChunkSource {
 public:
  virtual std::span<const std::uint8_t> Next() = 0;

 protected:
  ~ChunkSource() = default;
};

// The two conversions on any source and target; the file and memory versions
// are built on them. Output goes to the target in pieces of about
// bufferSize bytes.
inline constexpr std::size_t kDefaultBufferSize = std::size_t{1} << 20;
void PackStream(ChunkSource& source, ByteSink& target, int32_t& BlocCount, const BlockEvent& event,
                std::size_t bufferSize = kDefaultBufferSize);
void UnpackStream(ChunkSource& source, ByteSink& target, int32_t& BlocCount,
                  const BlockEvent& event, std::size_t bufferSize = kDefaultBufferSize);
void UnpackStream(ChunkSource& source, ByteSink& target, int32_t& BlocCount,
                  const BlockEvent& event, std::size_t bufferSize, UnpackCheck* check);

// The same conversions between buffers in memory; `out` is replaced.
void PackBuffer(std::span<const std::uint8_t> source, std::vector<std::uint8_t>& out);
void UnpackBuffer(std::span<const std::uint8_t> packed, std::vector<std::uint8_t>& out,
                  UnpackCheck* check = nullptr);

}  // namespace xmodemquarvel::pack
