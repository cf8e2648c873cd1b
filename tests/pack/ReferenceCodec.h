#pragma once

// A plain model of the packed format, written for clarity and not for speed:
// positions count from 1, blocks are scanned one position at a time and bytes
// go out one by one through a 128-byte packed block. The tests and the fuzzers
// check the fast coder against it.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace xmodemquarvel::pack::reference {

using Bytes = std::vector<std::uint8_t>;
using Block = std::array<std::uint8_t, 129>;  // positions 1 to 128

class ReferencePacker {
 public:
  Bytes Pack(std::span<const std::uint8_t> source) {
    for (std::size_t at = 0; at < source.size(); at += 128) {
      cur_.fill(' ');
      for (std::size_t i = 0; i < 128 && at + i < source.size(); ++i) cur_[i + 1] = source[at + i];
      // The first block goes out raw: it fills the packed block exactly.
      for (int i = 1; at == 0 && i <= 128; ++i) Put(cur_[i]);
      if (at > 0) PackBlock();
      prev_ = cur_;
    }
    out_.push_back(static_cast<std::uint8_t>(fill_));
    out_.insert(out_.end(), packed_.begin() + 1, packed_.end() - 1);
    return out_;
  }

 private:
  static bool Digit(int c) { return c >= '0' && c <= '9'; }

  // Two or more equal positions end a changed span; a single one stays in it.
  void PackBlock() {
    int run = 0, start = 1, end = -1;
    for (int i = 1; i <= 128; ++i) {
      if (cur_[i] == prev_[i]) {
        ++run;
        continue;
      }
      if (run > 1) Span(start, end, run, i), start = i;
      end = i;
      run = 0;
    }
    if (run == 1) end = 128, run = 0;
    Span(start, end, run, 129);
  }

  // The changed span s..e (none when e is -1): ordinary characters in runs,
  // each string of four or more digits as a digit string; then the equal run
  // that ends before position p as copy codes.
  void Span(int s, int e, int run, int p) {
    int ordinary = s;
    for (int i = s; e != -1 && i <= e;) {
      int t = i;
      while (t <= e && Digit(cur_[t])) ++t;
      if (t - i >= 4) Runs(ordinary, i - 1, false), Runs(i, t - 1, true), ordinary = t;
      i = t > i ? t : i + 1;
    }
    if (e != -1) Runs(ordinary, e, false);
    for (; run > 41; run -= 41) {
      if (fill_ > 0 && packed_[fill_] == 249) Put(208);
      Put(249);
    }
    if (run >= 2) Put(208 + run);
    if (run == 1) Escaped(cur_[p - 1]);
  }

  void Runs(int a, int b, bool digits) {
    held_ = 0;
    complete_ = false;
    for (int k = a, n; k <= b; k += n) {
      for (n = 1; k + n <= b && cur_[k + n] == cur_[k];) ++n;
      digits ? DigitRun(n, cur_[k] - '0') : Run(n, cur_[k]);
    }
    if (digits) Put(complete_ ? 255 : held_ + 15);
  }

  void Run(int n, int c) {
    if (c == ' ') {
      for (; n > 47; n -= 47) Put(175);
      return Put(n >= 2 ? 128 + n : ' ');
    }
    for (; n > 31; n -= 31) Put(207), Put(c);
    if (n >= 3) return Put(176 + n), Put(c);
    while (n-- > 0) Escaped(c);
  }

  void DigitRun(int n, int v) {
    for (; n > 31; n -= 31) Nibble(v), Nibble(12), Nibble(14);
    if (n >= 4) return Nibble(v), Nibble(n >= 17 ? 12 : 11), Nibble(n - (n >= 17 ? 17 : 1));
    while (n-- > 0) Nibble(v);
  }

  void Nibble(int x) {
    if (!complete_) Put(held_ + x);
    held_ = 16 * x;
    complete_ = !complete_;
  }

  void Escaped(int c) {
    if (c >= 128 || c <= 9) Put(c == 250 ? 251 : 250);
    Put(c);
  }

  void Put(int b) {
    packed_[++fill_] = static_cast<std::uint8_t>(b);
    if (fill_ < 128) return;
    out_.insert(out_.end(), packed_.begin() + 1, packed_.end());
    packed_.fill(0);
    fill_ = 0;
  }

  Bytes out_;
  Block cur_{}, prev_{}, packed_{};
  int fill_ = 0, held_ = 0;
  bool complete_ = false;
};

class ReferenceUnpacker {
 public:
  // `refused` tells whether the end block's count is above 127; the blocks
  // completed before are kept.
  Bytes Unpack(std::span<const std::uint8_t> packed, bool& refused) {
    const std::size_t blocks = (packed.size() + 127) / 128;
    for (std::size_t k = 0; k < blocks; ++k) {
      if (k >= 2) Decode(1, 128);
      block_.fill(' ');
      for (std::size_t i = 0; i < 128 && k * 128 + i < packed.size(); ++i)
        block_[i + 1] = packed[k * 128 + i];
      if (k == 0) prev_ = block_, out_.insert(out_.end(), block_.begin() + 1, block_.end());
    }
    refused = blocks > 1 && block_[1] > 127;
    if (blocks > 1) Decode(2, refused ? 128 : block_[1] + 1);
    return out_;
  }

 private:
  void Decode(int first, int last) {
    for (int i = first; i <= last; ++i) {
      const int c = block_[i];
      if (digitMode_) {
        Nibble(c / 16), Nibble(c % 16);
      } else if (pending_ > 0) {
        Out(c, pending_), pending_ = 0;
      } else if (escape_) {
        Out(c), escape_ = false;
      } else if (c <= 9) {
        digitMode_ = true, Nibble(c);
      } else if (c <= 127 || c >= 252) {
        Out(last_ = c);
      } else if (c <= 175) {
        Out(' ', c - 128);
      } else if (c <= 207) {
        pending_ = c - 176;
      } else if (c <= 249) {
        for (int n = 0; n < c - 208; ++n) Out(prev_[fill_ + 1]);
      } else {
        escape_ = true;
      }
    }
  }

  void Nibble(int x) {
    if (repeat_) {
      Out(last_, pending_ + x), repeat_ = false, pending_ = 0;
    } else if (x <= 9) {
      Out(last_ = '0' + x);
    } else if (x == 11 || x == 12) {
      repeat_ = true;
      if (x == 12) pending_ = 16;
    } else if (x == 15) {
      digitMode_ = false;
    }
  }

  void Out(int c, int times = 1) {
    for (; times > 0; --times) {
      output_[++fill_] = static_cast<std::uint8_t>(c);
      if (fill_ < 128) continue;
      out_.insert(out_.end(), output_.begin() + 1, output_.end());
      prev_ = output_;
      fill_ = 0;
    }
  }

  Bytes out_;
  Block block_{}, prev_{}, output_{};
  int fill_ = 0, pending_ = 0, last_ = 0;
  bool escape_ = false, digitMode_ = false, repeat_ = false;
};

}  // namespace xmodemquarvel::pack::reference
