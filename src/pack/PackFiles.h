#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "pack/ByteSink.h"
#include "xmodemquarvel/Packing.h"

namespace xmodemquarvel::pack {

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

// PackDescriptors, UnpackDescriptors, ChunkSource, PackStream and
// UnpackStream are public (xmodemquarvel/Packing.h).

// The same conversions between buffers in memory; `out` is replaced.
void PackBuffer(std::span<const std::uint8_t> source, std::vector<std::uint8_t>& out);
void UnpackBuffer(std::span<const std::uint8_t> packed, std::vector<std::uint8_t>& out);

}  // namespace xmodemquarvel::pack
