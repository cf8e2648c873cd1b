#pragma once

#include <cstdint>
#include <span>

namespace xmodemquarvel::pack {

// Where the packer and the unpacker hand their output, in large pieces. A
// failing sink throws; the coder then stops with the exception.
class ByteSink {
 public:
  virtual void Write(std::span<const std::uint8_t> bytes) = 0;

 protected:
  ~ByteSink() = default;
};

}  // namespace xmodemquarvel::pack
