// The packed bytes of a few MiB of each benchmark corpus, known by their
// SHA-256: any change of the coder's choices, however rare, shows here. They
// unpack back, and pass the check of their code, by samples or whole.
#include <gtest/gtest.h>
#include <nettle/sha2.h>

#include "Corpora.h"
#include "PackTestSupport.h"

namespace xmodemquarvel::pack::test {
namespace {

std::string Sha256Hex(const Bytes& bytes) {
  sha256_ctx context;
  sha256_init(&context);
  sha256_update(&context, bytes.size(), bytes.data());
  std::uint8_t digest[SHA256_DIGEST_SIZE];
  sha256_digest(&context, sizeof digest, digest);
  std::string hex;
  for (const std::uint8_t b : digest)
    hex += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
  return hex;
}

TEST(Corpora, PackToTheBytesRecordedAndBack) {
  constexpr std::size_t kSize = std::size_t{4} << 20;
  const struct {
    const char* name;
    Bytes (*corpus)(std::size_t);
    const char* sha256;
  } rows[] = {
      {"billing", bench::BillingCorpus,
       "bfbaa24e91554fde92037567b5c4dbec5d7f75c3e9a9c6d9d18837edd707b9cd"},
      {"dense", bench::DenseBillingCorpus,
       "caf19d0bd1dfe0e36cefed6f4bd025c069939e9f7a15c6f9f623b135c38c5b00"},
      {"text", bench::TextCorpus,
       "d23472aff08b5de71ca8453bd4bdd0969804c1ba088c2cf7d4e8410712a1fe4f"},
      {"random", bench::RandomCorpus,
       "01bff97b3f155913e82d6973251faa76f1db99998592ce2401158e65c877686c"},
  };
  for (const auto& row : rows) {
    const Bytes source = row.corpus(kSize);
    const Bytes packed = Pack(source);
    EXPECT_EQ(Sha256Hex(packed), row.sha256) << row.name;
    for (const RecodeCheck blocks : {RecodeCheck::kSampled, RecodeCheck::kEveryBlock}) {
      UnpackCheck check{blocks};
      Bytes unpacked;
      UnpackBuffer(packed, unpacked, &check);
      EXPECT_TRUE(unpacked == Padded(source)) << row.name;
      EXPECT_EQ(check.firstDiffering, 0) << row.name;
    }
  }
}

}  // namespace
}  // namespace xmodemquarvel::pack::test
