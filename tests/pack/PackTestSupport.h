#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "pack/PackFiles.h"
#include "pack/Packer.h"

namespace xmodemquarvel::pack::test {

using Bytes = std::vector<std::uint8_t>;

// "0D 52 F9" -> {0x0D, 0x52, 0xF9}.
inline Bytes Hex(std::string_view text) {
  Bytes out;
  unsigned value = 0;
  int digits = 0;
  for (char ch : text) {
    if (ch == ' ') continue;
    const unsigned v =
        ch <= '9' ? static_cast<unsigned>(ch - '0') : static_cast<unsigned>((ch | 0x20) - 'a' + 10);
    value = value * 16 + v;
    if (++digits == 2) {
      out.push_back(static_cast<std::uint8_t>(value));
      value = 0;
      digits = 0;
    }
  }
  return out;
}

inline Bytes Text(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

inline Bytes Repeat(std::uint8_t c, std::size_t n) {
  return Bytes(n, c);
}

// "abab..." of the given length.
inline Bytes Alternating(std::size_t n, std::uint8_t first = 'a', std::uint8_t second = 'b') {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = i % 2 == 0 ? first : second;
  return out;
}

template <typename... Parts>
Bytes Cat(const Parts&... parts) {
  Bytes out;
  (out.insert(out.end(), parts.begin(), parts.end()), ...);
  return out;
}

// The source filled with spaces up to a whole number of 128-byte blocks.
inline Bytes Padded(Bytes source) {
  source.resize((source.size() + 127) / 128 * 128, ' ');
  return source;
}

inline Bytes Pack(const Bytes& source) {
  Bytes out;
  PackBuffer(source, out);
  return out;
}

class VectorSink final : public ByteSink {
 public:
  explicit VectorSink(Bytes& out) : out_(out) {}
  void Write(std::span<const std::uint8_t> bytes) override {
    out_.insert(out_.end(), bytes.begin(), bytes.end());
  }

 private:
  Bytes& out_;
};

// Pack with the coder built for any processor, whatever this one has.
inline Bytes PackPortable(const Bytes& source) {
  Bytes out;
  VectorSink sink(out);
  Packer packer(sink, 4096);
  packer.UsePortableCoder();
  const Bytes blocks = Padded(source);
  for (std::size_t at = 0; at < blocks.size(); at += 128) {
    packer.PackBlock(blocks.data() + at, static_cast<std::int64_t>(at / 128));
  }
  packer.Finish();
  return out;
}

inline Bytes Unpack(const Bytes& packed) {
  Bytes out;
  UnpackBuffer(packed, out);
  return out;
}

// The code stream of a packed file of two blocks or more, after checking the
// layout around it: whole blocks, an end-block count below 128, NUL filler.
inline Bytes CodeStream(const Bytes& packed) {
  EXPECT_EQ(packed.size() % 128, 0u);
  EXPECT_GE(packed.size(), 256u);
  if (packed.size() < 256 || packed.size() % 128 != 0) return {};
  const std::size_t endAt = packed.size() - 128;
  const std::size_t n = packed[endAt];
  EXPECT_LE(n, 127u);
  Bytes stream(packed.begin() + 128, packed.begin() + static_cast<std::ptrdiff_t>(endAt));
  stream.insert(stream.end(), packed.begin() + static_cast<std::ptrdiff_t>(endAt + 1),
                packed.begin() + static_cast<std::ptrdiff_t>(endAt + 1 + n));
  for (std::size_t i = endAt + 1 + n; i < packed.size(); ++i) {
    EXPECT_EQ(packed[i], 0) << "filler byte " << i;
  }
  return stream;
}

// A packed file made of a raw first block and a code stream.
inline Bytes PackedFile(const Bytes& raw, const Bytes& code) {
  Bytes out = raw;
  const std::size_t whole = code.size() / 128 * 128;
  out.insert(out.end(), code.begin(), code.begin() + static_cast<std::ptrdiff_t>(whole));
  out.push_back(static_cast<std::uint8_t>(code.size() - whole));
  out.insert(out.end(), code.begin() + static_cast<std::ptrdiff_t>(whole), code.end());
  out.resize(out.size() + (128 - (code.size() - whole) - 1), 0);
  return out;
}

inline std::string ToHex(const Bytes& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (std::uint8_t b : bytes) {
    if (!out.empty()) out += ' ';
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

}  // namespace xmodemquarvel::pack::test
