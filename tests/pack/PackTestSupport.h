#pragma once

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "ReferenceCodec.h"
#include "pack/PackFiles.h"

namespace xmodemquarvel::pack::test {

using Bytes = std::vector<std::uint8_t>;

// Bytes written compactly: "41 FA" hexadecimal bytes, 'text' characters
// (no spaces), "3*41" or "2*'ab'" a repeat, "~20" that byte up to the end of
// the 128-byte block.
inline Bytes B(std::string_view text) {
  Bytes out;
  std::istringstream in{std::string(text)};
  for (std::string t; in >> t;) {
    const std::size_t star = t.find('*');
    std::size_t times = star == t.npos ? 1 : std::stoul(t);
    t.erase(0, star + 1);
    if (t[0] == '~') times = (128 - out.size() % 128) % 128;
    Bytes unit(t.begin() + 1, t.end() - 1);
    if (t[0] != '\'')
      unit = {static_cast<std::uint8_t>(std::stoul(t.substr(t[0] == '~'), nullptr, 16))};
    while (times-- > 0) out.insert(out.end(), unit.begin(), unit.end());
  }
  return out;
}

template <typename... Parts>
Bytes Cat(const Parts&... parts) {
  Bytes out;
  (out.insert(out.end(), parts.begin(), parts.end()), ...);
  return out;
}

// The source filled with spaces up to whole 128-byte blocks.
inline Bytes Padded(Bytes source) {
  source.resize((source.size() + 127) / 128 * 128, ' ');
  return source;
}

inline Bytes Pack(const Bytes& source) {
  Bytes out;
  PackBuffer(source, out);
  return out;
}

using namespace std::literals;

// Any byte; digits and spaces; the bytes at the edges of the codes; code
// bytes that switch the decoder between its modes.
inline constexpr std::string_view kAlphabets[] = {
    ""sv, "0123456789      0000AZ\x05\xFA\xFB\xF9"sv,
    "\0\x09\x0A\x20\x30\x39\x7F\x80\xAF\xB0\xCF\xD0\xF9\xFA\xFB\xFC\xFF"sv,
    "\0\x05\x09\x12\x34\x99\x5F\xFF\xAF\xDF\xEF\xB3\xBF\xC2\xCF\x1B\x2C\xFB\xFC\xFA\xB0\xB4\x41"
    "\x20\x7F\x0A\x82\x80\xD0\xD5\xF9\xE0\xFD\xFE\xF0\xA5\x3A\xAD\xEE"sv};

// Runs of characters from the alphabet, or of any byte (one time in eight, or
// always when the alphabet is empty), a few of them long; then most blocks
// made from the one before by changing one stretch, often an empty one, so
// that copy codes of every length appear.
inline Bytes Source(std::mt19937& rng, std::size_t n, std::string_view alphabet) {
  Bytes out;
  while (out.size() < n) {
    const auto c = static_cast<std::uint8_t>(
        alphabet.empty() || rng() % 8 == 0 ? rng() : alphabet[rng() % alphabet.size()]);
    out.insert(out.end(),
               std::min<std::size_t>(rng() % 4 ? 1 + rng() % 3 : 1 + rng() % 70, n - out.size()),
               c);
  }
  for (std::size_t at = 128; at + 128 <= n; at += 128) {
    if (rng() % 3 == 0) continue;
    const std::size_t from = rng() % 128, to = rng() % 2 ? from : from + rng() % 60;
    for (std::size_t i = 0; i < 128; ++i)
      if (i < from || i >= to) out[at + i] = out[at + i - 128];
  }
  return out;
}

// A raw first block and a code stream laid out as a packed file.
inline Bytes PackedFile(const Bytes& raw, const Bytes& code) {
  const auto whole = static_cast<std::ptrdiff_t>(code.size() / 128 * 128);
  Bytes out = Cat(raw, Bytes(code.begin(), code.begin() + whole));
  out.push_back(static_cast<std::uint8_t>(code.size() - static_cast<std::size_t>(whole)));
  out.insert(out.end(), code.begin() + whole, code.end());
  out.resize((out.size() + 127) / 128 * 128, 0);
  return out;
}

inline std::string ToHex(const Bytes& bytes) {
  std::string out;
  for (std::uint8_t b : bytes) out += {"0123456789ABCDEF"[b >> 4], "0123456789ABCDEF"[b & 15], ' '};
  return out;
}

// Takes each piece only at the next Write or Settle, as a sink that writes on
// a thread of its own may, and checks that it did not change meanwhile.
struct VectorSink final : ByteSink {
  explicit VectorSink(Bytes& out) : out(out) {}
  void Write(ByteRange range) override {
    const std::span<const std::uint8_t> bytes(range.data, range.size);
    Settle();
    held = bytes;
    copy.assign(bytes.begin(), bytes.end());
  }
  void Settle() override {
    if (!std::equal(held.begin(), held.end(), copy.begin(), copy.end()))
      throw std::logic_error("a piece changed before the sink took it");
    out.insert(out.end(), held.begin(), held.end());
    held = {};
  }
  Bytes& out;
  std::span<const std::uint8_t> held;
  Bytes copy;
};

// What a packed file unpacks into, and whether its end block is refused
// (the blocks completed before are kept).
struct Decoded {
  Bytes out;
  bool failed = false;
  bool operator==(const Decoded&) const = default;
};
inline void PrintTo(const Decoded& d, std::ostream* os) {
  *os << (d.failed ? "failed after " : "") << ToHex(d.out);
}

// Runs an unpacking into `out`; only the refusal of an end block may fail.
template <typename Unpacking>
Decoded Decode(Unpacking unpack) {
  Decoded d;
  try {
    unpack(d.out);
  } catch (const std::system_error& e) {
    if (e.code() != std::errc::invalid_argument) throw;
    d.failed = true;
  }
  return d;
}

// With the check of every block, which must not change what is decoded.
inline Decoded Decode(const Bytes& packed) {
  return Decode([&](Bytes& out) {
    UnpackCheck check{RecodeCheck::kEveryBlock};
    UnpackBuffer(packed, out, &check);
  });
}

inline Decoded Model(const Bytes& packed) {
  Decoded d;
  d.out = reference::ReferenceUnpacker().Unpack(packed, d.failed);
  return d;
}

}  // namespace xmodemquarvel::pack::test
