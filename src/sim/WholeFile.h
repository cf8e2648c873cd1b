#pragma once

#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

namespace xmodemquarvel::sim {

// A file written or read whole, in binary: the soak's files, a test's, a fuzz
// target's.
inline void WriteFile(const std::string& path, std::string_view content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(content.data(), static_cast<std::streamsize>(content.size()));
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace xmodemquarvel::sim
