#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

namespace xmodemquarvel::pack::bench {

// Fixed-width billing records: 128-character lines, mostly digits and
// spaces, each sharing most of its columns with the one before. Produced
// record by record, so that files of any size need no memory.
class BillingRecords {
 public:
  explicit BillingRecords(std::uint32_t seed);
  // Fills `out` (a multiple of 128 bytes) with the next records.
  void Fill(std::span<std::uint8_t> out);

 private:
  void NextRecord();

  std::mt19937 rng_;
  std::uint8_t record_[128];
  std::uint32_t sequence_ = 0;
  std::uint32_t date_ = 20260105;
  int patientLeft_ = 0;
};

std::vector<std::uint8_t> BillingCorpus(std::size_t size);
std::vector<std::uint8_t> TextCorpus(std::size_t size);
std::vector<std::uint8_t> RandomCorpus(std::size_t size);

}  // namespace xmodemquarvel::pack::bench
