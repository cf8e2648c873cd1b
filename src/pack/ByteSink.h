#pragma once

#include <cstdint>
#include <span>

namespace xmodemquarvel::pack {

// Where the packer and the unpacker hand their output, in large pieces. A
// failing sink throws; the coder then stops with the exception.
class ByteSink {
 public:
  // The bytes stay valid and unchanged until the next call of Write or
  // Settle returns, so that a sink may go on writing them after Write has
  // returned; the coders use two buffers in turn for this.
  virtual void Write(std::span<const std::uint8_t> bytes) = 0;
  // Returns once the sink no longer reads any bytes it was given, and throws
  // a failure met since: the coders call it before their buffers go. Sinks
  // that take the bytes at once have nothing to do.
  virtual void Settle() {}

 protected:
  ~ByteSink() = default;
};

}  // namespace xmodemquarvel::pack
