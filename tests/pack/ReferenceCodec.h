#pragma once

// A plain, position-by-position model of the packed format, written for
// clarity and not for speed: blocks are scanned one position at a time,
// positions count from 1, and bytes go out one by one through a 128-byte
// packed block. The tests and the fuzzers check the fast coder against it.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace xmodemquarvel::pack::reference {

using Bytes = std::vector<std::uint8_t>;

class ReferencePacker {
 public:
  // Packs a whole source; the result is the packed file.
  Bytes Pack(std::span<const std::uint8_t> source) {
    out_.clear();
    packed_.fill(0);
    fill_ = 0;
    int blocCount = 0;
    for (std::size_t at = 0; at < source.size(); at += 128) {
      current_.fill(' ');
      for (std::size_t i = 0; i < 128 && at + i < source.size(); ++i)
        current_[i + 1] = source[at + i];
      PackBlock(blocCount);
      ++blocCount;
    }
    out_.push_back(static_cast<std::uint8_t>(fill_));
    for (int i = 1; i <= 127; ++i) out_.push_back(packed_[i]);
    return out_;
  }

 private:
  static bool Digit(std::uint8_t c) { return c >= '0' && c <= '9'; }

  void PackBlock(int blocCount) {
    if (blocCount < 1) {
      for (int i = 1; i <= 128; ++i) out_.push_back(current_[i]);
      fill_ = 0;
    } else {
      int run = 0, start = 1, end = -1, i = 1;
      for (; i <= 128; ++i) {
        if (current_[i] == previous_[i]) {
          ++run;
        } else {
          if (run > 1) {
            PackChangedSpan(start, end, run, i);
            start = i;
          }
          end = i;
          run = 0;
        }
      }
      if (run == 1) {
        end = 128;
        run = 0;
      }
      PackChangedSpan(start, end, run, i);
    }
    previous_ = current_;
  }

  void PackChangedSpan(int s, int e, int r, int p) {
    if (e != -1) {
      int digits = 0, a = s, b = -1, j = s;
      for (; j <= e; ++j) {
        if (Digit(current_[j])) {
          ++digits;
        } else {
          if (digits > 3) {
            PackSegment(a, b, digits, j - 1);
            a = j;
          }
          b = j;
          digits = 0;
        }
      }
      if (digits < 4) {
        b = e;
        digits = 0;
      }
      PackSegment(a, b, digits, e);
    }
    while (r > 41) {
      if (fill_ > 0 && packed_[fill_] == 249) PutPackedByte(208);
      PutPackedByte(249);
      r -= 41;
    }
    if (r >= 2) {
      PutPackedByte(static_cast<std::uint8_t>(208 + r));
    } else if (r == 1) {
      PutEscaped(current_[p - 1]);
    }
  }

  void PackSegment(int a, int b, int d, int q) {
    if (b == -1) {
      b = a - 1;
    } else if (b == a) {
      PutEscaped(current_[a]);
    } else if (b > a) {
      repeat_ = 1;
      for (int k = a + 1; k <= b; ++k) {
        if (current_[k] == current_[k - 1]) {
          ++repeat_;
        } else {
          PackRun(current_[k - 1]);
        }
      }
      PackRun(current_[b]);
    }
    if (d > 0) {
      held_ = 0;
      complete_ = false;
      repeat_ = 1;
      for (int m = b + 2; m <= q; ++m) {
        if (current_[m] == current_[m - 1]) {
          ++repeat_;
        } else {
          PackDigitRun(current_[m - 1]);
        }
      }
      PackDigitRun(current_[q]);
      PutPackedByte(complete_ ? 255 : static_cast<std::uint8_t>(held_ + 15));
    }
  }

  void PackRun(std::uint8_t c) {
    int n = repeat_;
    repeat_ = 1;
    if (n == 1) {
      PutEscaped(c);
    } else if (c == ' ') {
      while (n > 47) {
        PutPackedByte(175);
        n -= 47;
      }
      if (n >= 2) PutPackedByte(static_cast<std::uint8_t>(128 + n));
      if (n == 1) PutPackedByte(32);
    } else {
      while (n > 31) {
        PutPackedByte(207);
        PutPackedByte(c);
        n -= 31;
      }
      if (n >= 3) {
        PutPackedByte(static_cast<std::uint8_t>(176 + n));
        PutPackedByte(c);
      } else {
        for (int k = 0; k < n; ++k) PutEscaped(c);
      }
    }
  }

  void PackDigitRun(std::uint8_t digit) {
    int n = repeat_;
    repeat_ = 1;
    const int v = digit - 48;
    if (n == 1) {
      PutNibble(v);
      return;
    }
    while (n > 31) {
      PutNibble(v);
      PutNibble(12);
      PutNibble(14);
      n -= 31;
    }
    if (n >= 4) {
      PutNibble(v);
      if (n >= 17) {
        PutNibble(12);
        PutNibble(n - 17);
      } else {
        PutNibble(11);
        PutNibble(n - 1);
      }
    } else {
      for (int k = 0; k < n; ++k) PutNibble(v);
    }
  }

  void PutNibble(int x) {
    if (complete_) {
      held_ = 16 * x;
      complete_ = false;
    } else {
      PutPackedByte(static_cast<std::uint8_t>(held_ + x));
      complete_ = true;
    }
  }

  void PutEscaped(std::uint8_t c) {
    if (c >= 128 || c <= 9) PutPackedByte(c == 250 ? 251 : 250);
    PutPackedByte(c);
  }

  void PutPackedByte(std::uint8_t b) {
    ++fill_;
    packed_[fill_] = b;
    if (fill_ == 128) {
      for (int i = 1; i <= 128; ++i) out_.push_back(packed_[i]);
      packed_.fill(0);
      fill_ = 0;
    }
  }

  Bytes out_;
  std::array<std::uint8_t, 129> current_{}, previous_{}, packed_{};
  int fill_ = 0, repeat_ = 1, held_ = 0;
  bool complete_ = false;
};

class ReferenceUnpacker {
 public:
  // Unpacks a whole packed file. Without a value when the end block's count
  // is above 127; `out` then holds the blocks completed before.
  std::optional<Bytes> Unpack(std::span<const std::uint8_t> packed, Bytes* partial = nullptr) {
    out_.clear();
    escape_ = digitMode_ = repeatPending_ = false;
    fill_ = pending_ = 0;
    std::size_t blocks = (packed.size() + 127) / 128;
    for (std::size_t k = 0; k < blocks; ++k) {
      std::array<std::uint8_t, 129> block;
      block.fill(' ');
      for (std::size_t i = 0; i < 128 && k * 128 + i < packed.size(); ++i)
        block[i + 1] = packed[k * 128 + i];
      if (k == 0) {
        previous_ = block;
        for (int i = 1; i <= 128; ++i) out_.push_back(block[i]);
      } else {
        if (k >= 2) UnpackBytes(1, 128);
        packed_ = block;
      }
    }
    if (blocks > 1 && packed_[1] > 0) {
      const int n = packed_[1];
      if (n + 1 > 128) {
        UnpackBytes(2, 128);
        if (partial) *partial = out_;
        return std::nullopt;
      }
      UnpackBytes(2, n + 1);
    }
    return out_;
  }

 private:
  void UnpackBytes(int first, int last) {
    for (int i = first; i <= last; ++i) {
      const int code = packed_[i];
      if (digitMode_) {
        UnpackNibble(code / 16);
        UnpackNibble(code % 16);
      } else if (pending_ > 0) {
        for (int k = 0; k < pending_; ++k) PutUnpackedChar(static_cast<std::uint8_t>(code));
        pending_ = 0;
      } else if (escape_) {
        PutUnpackedChar(static_cast<std::uint8_t>(code));
        escape_ = false;
      } else if (code <= 9) {
        digitMode_ = true;
        UnpackNibble(code);
      } else if (code <= 127 || code >= 252) {
        last_ = static_cast<std::uint8_t>(code);
        PutUnpackedChar(last_);
      } else if (code <= 175) {
        for (int k = 0; k < code - 128; ++k) PutUnpackedChar(' ');
      } else if (code <= 207) {
        pending_ = code - 176;
      } else if (code <= 249) {
        for (int k = 0; k < code - 208; ++k) PutUnpackedChar(previous_[fill_ + 1]);
      } else {
        escape_ = true;
      }
    }
  }

  void UnpackNibble(int x) {
    if (repeatPending_) {
      pending_ += x;
      for (int k = 0; k < pending_; ++k) PutUnpackedChar(last_);
      repeatPending_ = false;
      pending_ = 0;
    } else if (x <= 9) {
      last_ = static_cast<std::uint8_t>(48 + x);
      PutUnpackedChar(last_);
    } else if (x == 11) {
      repeatPending_ = true;
    } else if (x == 12) {
      repeatPending_ = true;
      pending_ = 16;
    } else if (x == 15) {
      digitMode_ = false;
    }
  }

  void PutUnpackedChar(std::uint8_t c) {
    ++fill_;
    output_[fill_] = c;
    if (fill_ == 128) {
      for (int i = 1; i <= 128; ++i) out_.push_back(output_[i]);
      previous_ = output_;
      output_.fill(' ');
      fill_ = 0;
    }
  }

  Bytes out_;
  std::array<std::uint8_t, 129> packed_{}, previous_{}, output_{};
  int fill_ = 0, pending_ = 0;
  bool escape_ = false, digitMode_ = false, repeatPending_ = false;
  std::uint8_t last_ = 0;
};

}  // namespace xmodemquarvel::pack::reference
