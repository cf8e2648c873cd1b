#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace xmodemquarvel {

// A fixed-width text field of N bytes: NUL before its first assignment; an
// assigned value is cut to N bytes or filled on the right with spaces (so an
// empty value gives a one-byte field a space).
template <std::size_t N>
struct FixedField {
  std::array<std::uint8_t, N> bytes{};

  void Assign(std::string_view value) {
    const std::size_t n = value.size() < N ? value.size() : N;
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(value[i]);
    for (std::size_t i = n; i < N; ++i) bytes[i] = ' ';
  }
  // Stores raw bytes as they are (NUL included), without the space filling.
  void AssignBytes(std::string_view value) {
    for (std::size_t i = 0; i < N; ++i)
      bytes[i] = i < value.size() ? static_cast<std::uint8_t>(value[i]) : 0;
  }
  std::string_view View() const { return {reinterpret_cast<const char*>(bytes.data()), N}; }
  static constexpr std::size_t size() { return N; }
};

}  // namespace xmodemquarvel
