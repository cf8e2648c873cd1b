#include "files/Sha256.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <vector>

namespace xmodemq {

std::string Sha256::Peek(std::size_t size) const {
  // nettle's digest ends its context: take it from a copy.
  sha256_ctx copy = context_;
  std::string out(size < kSize ? size : kSize, '\0');
  sha256_digest(&copy, out.size(), reinterpret_cast<std::uint8_t*>(out.data()));
  return out;
}

std::string Hex(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0x0F]);
  }
  return out;
}

std::string Sha256OfDescriptor(int fd) {
  Sha256 sha;
  std::vector<char> buffer(64 * 1024);
  off_t offset = 0;
  for (;;) {
    const ssize_t n = ::pread(fd, buffer.data(), buffer.size(), offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw std::system_error(errno, std::generic_category(), "pread");
    if (n == 0) break;
    sha.Update(buffer.data(), static_cast<std::size_t>(n));
    offset += n;
  }
  return Hex(sha.Peek());
}

void RecordDigests::Update(const char* data, std::size_t size) {
  while (size > 0) {
    const std::size_t in_record = static_cast<std::size_t>(bytes_ % kRecord);
    const std::size_t take = std::min(size, static_cast<std::size_t>(kRecord) - in_record);
    all_.Update(data, take);
    bytes_ += static_cast<std::int64_t>(take);
    data += take;
    size -= take;
    if (in_record + take == static_cast<std::size_t>(kRecord)) prefixes_ += all_.Peek(kPrefixSize);
  }
}

}  // namespace xmodemq
