#include "Corpora.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <string>

namespace xmodemquarvel::pack::bench {

namespace {

void PutNumber(std::uint8_t* at, int width, std::uint64_t value) {
  for (int i = width - 1; i >= 0; --i) {
    at[i] = static_cast<std::uint8_t>('0' + value % 10);
    value /= 10;
  }
}

void PutText(std::uint8_t* at, int width, const char* text) {
  const std::size_t n = std::strlen(text);
  for (int i = 0; i < width; ++i) {
    at[i] = static_cast<std::size_t>(i) < n ? static_cast<std::uint8_t>(text[i]) : ' ';
  }
}

constexpr std::array<const char*, 12> kNames = {"MARTIN JEAN",  "BERNARD MARIE", "DUBOIS PIERRE",
                                                "THOMAS ANNE",  "ROBERT LOUIS",  "RICHARD CLAIRE",
                                                "PETIT MICHEL", "DURAND SOPHIE", "LEROY FRANCOIS",
                                                "MOREAU JULIE", "SIMON NICOLAS", "LAURENT CAMILLE"};
constexpr std::array<const char*, 6> kActs = {"C    ", "V    ", "K  10", "AMI 4", "G    ", "CS   "};

}  // namespace

BillingRecords::BillingRecords(std::uint32_t seed) : rng_(seed) {
  std::memset(record_, ' ', sizeof record_);
  PutText(record_, 3, "FSE");
  PutNumber(record_ + 89, 9, 751234567);
  PutText(record_ + 110, 6, "TP  01");
  record_[126] = '\r';
  record_[127] = '\n';
}

void BillingRecords::NextRecord() {
  PutNumber(record_ + 3, 8, ++sequence_);
  if (rng_() % 200 == 0) ++date_;
  PutNumber(record_ + 12, 8, date_);
  if (--patientLeft_ <= 0) {
    patientLeft_ = 1 + static_cast<int>(rng_() % 8);
    PutNumber(record_ + 21, 15, 100000000000000ull + rng_() % 900000000000000ull);
    PutText(record_ + 37, 25, kNames[rng_() % kNames.size()]);
  }
  PutText(record_ + 63, 5, kActs[rng_() % kActs.size()]);
  const std::uint32_t amount = 1500 + rng_() % 9000;
  PutNumber(record_ + 69, 9, amount);
  PutNumber(record_ + 79, 9, amount * 7 / 10);
  record_[100] = rng_() % 4 == 0 ? 'N' : 'O';
}

void BillingRecords::Fill(std::span<std::uint8_t> out) {
  for (std::size_t at = 0; at + 128 <= out.size(); at += 128) {
    NextRecord();
    std::memcpy(out.data() + at, record_, 128);
  }
}

std::vector<std::uint8_t> BillingCorpus(std::size_t size) {
  std::vector<std::uint8_t> out(size / 128 * 128);
  BillingRecords(1).Fill(out);
  return out;
}

// Sentences of words made of common syllables, in lines of up to 72.
std::vector<std::uint8_t> TextCorpus(std::size_t size) {
  static constexpr std::array<const char*, 24> kSyllables = {
      "le",  "la", "de",  "ment", "tion", "par", "con", "re",  "pre", "ou",  "an", "en",
      "ter", "mi", "sur", "que",  "di",   "ver", "pos", "tra", "si",  "ble", "es", "ai"};
  std::mt19937 rng(2);
  std::vector<std::string> words;
  for (int i = 0; i < 400; ++i) {
    std::string w;
    const int parts = 1 + static_cast<int>(rng() % 3);
    for (int k = 0; k < parts; ++k) w += kSyllables[rng() % kSyllables.size()];
    words.push_back(w);
  }
  std::vector<std::uint8_t> out;
  out.reserve(size);
  std::size_t line = 0;
  bool capital = true;
  while (out.size() < size) {
    // A skewed choice, so some words are far more frequent than others.
    const std::size_t r = rng() % words.size();
    std::string w = words[r * r / words.size()];
    if (capital) w[0] = static_cast<char>(w[0] - 'a' + 'A');
    capital = rng() % 10 == 0;
    if (capital) w += '.';
    if (line + w.size() + 1 > 72) {
      out.push_back('\n');
      line = 0;
    } else if (line > 0) {
      out.push_back(' ');
      ++line;
    }
    out.insert(out.end(), w.begin(), w.end());
    line += w.size();
  }
  out.resize(size);
  return out;
}

std::vector<std::uint8_t> RandomCorpus(std::size_t size) {
  std::mt19937_64 rng(3);
  std::vector<std::uint8_t> out(size);
  for (std::size_t i = 0; i + 8 <= size; i += 8) {
    const std::uint64_t v = rng();
    std::memcpy(out.data() + i, &v, 8);
  }
  return out;
}

}  // namespace xmodemquarvel::pack::bench
