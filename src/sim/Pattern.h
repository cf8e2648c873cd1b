#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace xmodemquarvel::sim {

// Bytes that differ from block to block and from seed to seed, control bytes
// and CR included: file contents for the soak, the tests and the fuzzers.
inline std::string Pattern(std::size_t size, std::uint32_t seed = 7) {
  std::string out(size, '\0');
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& c : out) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<char>(x >> 24);
  }
  return out;
}

}  // namespace xmodemquarvel::sim
