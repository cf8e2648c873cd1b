#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace xmodemq {

// Why the file open on `fd`, `size` bytes long, is plainly not a packed file
// (nothing when it may be one): a packed file is whole blocks (kRecord bytes) whose
// last, the end block, holds a count of 0 to 127 and the bytes it counts,
// then nothing but NUL bytes. Every file the packer writes passes.
std::optional<std::string> NotPacked(int fd, int64_t size);

// Whether packing `unpacked` again gives exactly `packed`, both read from
// their start. The format leaves choices to the writer, so a file from
// another packer may decode well and still differ: false is a reason to look,
// not a proof of damage. Constant memory. Throws std::system_error on a read
// failure.
bool RepacksTheSame(int packed, int unpacked);

}  // namespace xmodemq
