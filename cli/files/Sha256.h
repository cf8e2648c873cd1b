#pragma once

#include <nettle/sha2.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "system/Records.h"

namespace xmodemq {

// SHA-256 (nettle's), fed in pieces.
class Sha256 {
 public:
  static constexpr std::size_t kSize = SHA256_DIGEST_SIZE;

  Sha256() { sha256_init(&context_); }
  void Update(const void* data, std::size_t size) {
    sha256_update(&context_, size, static_cast<const std::uint8_t*>(data));
  }
  // The first `size` bytes (at most kSize) of the digest of what was fed so
  // far; feeding may go on.
  std::string Peek(std::size_t size = kSize) const;

 private:
  sha256_ctx context_;
};

// Lower-case hexadecimal, as sha256sum writes a digest.
std::string Hex(const std::string& bytes);

// The SHA-256 of what a descriptor holds, read from its start with pread();
// in hexadecimal. Throws std::system_error.
std::string Sha256OfDescriptor(int fd);

// What a file that goes out is known by: the SHA-256 of all its bytes, and of
// each of its prefixes of whole records (kRecord bytes), cut to kPrefixSize bytes,
// so that any count of blocks a server says it holds can be compared.
class RecordDigests {
 public:
  static constexpr std::size_t kPrefixSize = 16;

  void Update(const char* data, std::size_t size);
  // Hexadecimal SHA-256 of everything fed.
  std::string Sha256Hex() const { return Hex(all_.Peek()); }
  // kPrefixSize bytes per whole record fed: the digest of records 1 to k at
  // k - 1.
  const std::string& Prefixes() const { return prefixes_; }
  std::int64_t Bytes() const { return bytes_; }
  std::int64_t Records() const { return static_cast<std::int64_t>(prefixes_.size() / kPrefixSize); }

 private:
  Sha256 all_;
  std::string prefixes_;
  std::int64_t bytes_ = 0;
};

}  // namespace xmodemq
