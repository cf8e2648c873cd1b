#include "Corpora.h"

#include <algorithm>
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

namespace {

// yyyymmdd of the day `day` days after 1 January 2026.
std::uint32_t DateOf(std::uint32_t day) {
  static constexpr int kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  std::uint32_t year = 2026;
  while (true) {
    const std::uint32_t length = year % 4 == 0 ? 366 : 365;
    if (day < length) break;
    day -= length;
    ++year;
  }
  std::uint32_t month = 0;
  while (true) {
    const std::uint32_t length = kMonthDays[month] + (month == 1 && year % 4 == 0 ? 1 : 0);
    if (day < length) break;
    day -= length;
    ++month;
  }
  return year * 10000 + (month + 1) * 100 + day + 1;
}

// Act codes with their unit price in cents.
struct Act {
  const char* code;
  std::uint32_t price;
};
constexpr std::array<Act, 10> kActTariff = {{{"C", 2650},
                                             {"CS", 3000},
                                             {"V", 3000},
                                             {"AMI", 315},
                                             {"K", 192},
                                             {"YYYY010", 4180},
                                             {"QZQP001", 2090},
                                             {"ZBQK002", 1995},
                                             {"APC", 5500},
                                             {"TCG", 2500}}};
constexpr std::array<const char*, 4> kInsurance = {"MAL", "MAT", "AT ", "SNS"};

}  // namespace

DenseBillingRecords::DenseBillingRecords(std::uint32_t seed) : rng_(seed) {
  for (auto& p : practitioners_) p = 100000000 + Random(900000000);
}

void DenseBillingRecords::Start(const char* type) {
  at_ = 0;
  Text(3, type);
  Number(9, ++line_);
}

void DenseBillingRecords::Number(int width, std::uint64_t value) {
  PutNumber(record_ + at_, width, value);
  at_ += width;
}

void DenseBillingRecords::Text(int width, const char* text) {
  PutText(record_ + at_, width, text);
  at_ += width;
}

void DenseBillingRecords::Blank(int width) {
  std::memset(record_ + at_, ' ', static_cast<std::size_t>(width));
  at_ += width;
}

void DenseBillingRecords::FileHeader() {
  Start("000");
  Number(6, ++fileNumber_);
  Number(9, 100000000 + Random(900000000));
  Number(8, DateOf(day_));
  Number(6, Random(240000));
  Blank(2);
  Text(20, "QUARVEL FACT V2.0");
  Text(4, "B2");
  Number(3, 100 + Random(900));
  Number(4, Random(10000));
  next_ = Next::kBatchHeader;
}

void DenseBillingRecords::BatchHeader() {
  Start("100");
  if (Random(3) == 0) ++day_;
  // A billing centre sends for the same few dozen practitioners.
  practitioner_ = practitioners_[Random(practitioners_.size())];
  Number(6, ++batchNumber_);
  Number(9, practitioner_);
  Number(8, DateOf(day_));
  Blank(2);
  Text(2, "01");
  Number(3, 100 + Random(900));
  Number(4, Random(10000));
  Text(3, "FSE");
  Number(8, 10000000 + Random(90000000));
  invoicesLeft_ = 5 + static_cast<int>(Random(16));
  invoicesInBatch_ = 0;
  batchAmount_ = 0;
  next_ = Next::kInvoiceHeader;
}

void DenseBillingRecords::InvoiceHeader() {
  Start("200");
  patient_ = 1000000000000ull + Random(9000000000000ull);
  birth_ = DateOf(static_cast<std::uint32_t>(Random(365))) - 20260000 +
           10000 * static_cast<std::uint32_t>(1930 + Random(90));
  key_ = 1 + static_cast<std::uint32_t>(Random(97));
  insurance_ = kInsurance[Random(kInsurance.size())];
  prescriber_ = Random(2) == 0 ? practitioner_ : 100000000 + Random(900000000);
  Number(6, batchNumber_);
  Number(9, ++invoiceNumber_);
  Number(13, patient_);
  Number(2, key_);
  Number(8, birth_);
  Number(1, 1 + Random(3));
  Blank(1);
  Text(3, insurance_);
  Number(9, prescriber_);
  Number(8, DateOf(day_ > 30 && Random(2) == 0 ? day_ - static_cast<std::uint32_t>(Random(30))
                                               : day_));
  Number(8, DateOf(day_));
  Number(9, practitioner_);
  actsLeft_ = 1 + static_cast<int>(Random(6));
  actsInInvoice_ = 0;
  invoiceAmount_ = invoicePaid_ = 0;
  next_ = Next::kAct;
}

void DenseBillingRecords::ActLine() {
  Start("300");
  const Act& act = kActTariff[Random(kActTariff.size())];
  const std::uint64_t quantity = Random(4) == 0 ? 2 : 1;
  const std::uint64_t amount = quantity * act.price;
  const std::uint64_t rate = insurance_[1] == 'A' && insurance_[0] == 'M' ? 70 : 100;
  Number(9, invoiceNumber_);
  Number(13, patient_);
  Number(2, key_);
  Number(2, ++actsInInvoice_);
  Blank(1);
  Text(7, act.code);
  Number(2, quantity);
  Number(8, act.price);
  Number(10, amount);
  Number(3, rate);
  Number(10, amount * rate / 100);
  Blank(1);
  Number(8, DateOf(day_));
  Number(9, practitioner_);
  invoiceAmount_ += amount;
  invoicePaid_ += amount * rate / 100;
  if (--actsLeft_ == 0) next_ = Next::kInvoiceTrailer;
}

void DenseBillingRecords::InvoiceTrailer() {
  Start("400");
  Number(6, batchNumber_);
  Number(9, invoiceNumber_);
  Number(13, patient_);
  Number(2, key_);
  Number(2, actsInInvoice_);
  Number(12, invoiceAmount_);
  Number(12, invoicePaid_);
  Number(12, invoiceAmount_ - invoicePaid_);
  Blank(1);
  Number(8, DateOf(day_));
  Text(3, insurance_);
  batchAmount_ += invoiceAmount_;
  ++invoicesInBatch_;
  next_ = --invoicesLeft_ == 0 ? Next::kBatchTrailer : Next::kInvoiceHeader;
}

void DenseBillingRecords::BatchTrailer() {
  Start("500");
  Number(6, batchNumber_);
  Number(9, practitioner_);
  Number(4, invoicesInBatch_);
  Number(14, batchAmount_);
  Number(9, line_);
  Number(8, DateOf(day_));
  next_ = Random(500) == 0 ? Next::kFileHeader : Next::kBatchHeader;
}

void DenseBillingRecords::NextRecord() {
  switch (next_) {
    case Next::kFileHeader:
      FileHeader();
      break;
    case Next::kBatchHeader:
      BatchHeader();
      break;
    case Next::kInvoiceHeader:
      InvoiceHeader();
      break;
    case Next::kAct:
      ActLine();
      break;
    case Next::kInvoiceTrailer:
      InvoiceTrailer();
      break;
    case Next::kBatchTrailer:
      BatchTrailer();
      break;
  }
  Blank(128 - at_);
  record_[128] = '\r';
  record_[129] = '\n';
  used_ = 0;
}

void DenseBillingRecords::Fill(std::span<std::uint8_t> out) {
  std::size_t at = 0;
  while (at < out.size()) {
    if (used_ == kRecordSize) NextRecord();
    const std::size_t n = std::min(out.size() - at, kRecordSize - used_);
    std::memcpy(out.data() + at, record_ + used_, n);
    at += n;
    used_ += n;
  }
}

std::vector<std::uint8_t> DenseBillingCorpus(std::size_t size) {
  std::vector<std::uint8_t> out(size);
  DenseBillingRecords(1).Fill(out);
  return out;
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
