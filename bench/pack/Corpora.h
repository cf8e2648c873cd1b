#pragma once

#include <array>
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

// Dense billing records: 130-byte lines (128 printable characters, CR, LF),
// so that records drift against the 128-byte blocks, with numeric fields
// that change on every line (identifiers, dates, amounts, counters),
// upper-case codes, short blank runs and a blank-filled end. A file header,
// then batches of invoices: batch header, invoice header, 1 to 6 act lines,
// invoice trailer, batch trailer. The fields repeat from line to line at
// other columns, which our format cannot use: it packs about 2.3 : 1 where
// lz4 -1 reaches about 4.3 : 1. Produced as a stream, so that files of any
// size need no memory.
class DenseBillingRecords {
 public:
  static constexpr std::size_t kRecordSize = 130;

  explicit DenseBillingRecords(std::uint32_t seed);
  // Fills `out` (any size) with the next bytes of the stream.
  void Fill(std::span<std::uint8_t> out);

 private:
  // Writes the next record into record_.
  void NextRecord();
  void FileHeader();
  void BatchHeader();
  void InvoiceHeader();
  void ActLine();
  void InvoiceTrailer();
  void BatchTrailer();
  // Fields are written left to right from the start of the record.
  void Start(const char* type);
  void Number(int width, std::uint64_t value);
  void Text(int width, const char* text);
  void Blank(int width);
  std::uint64_t Random(std::uint64_t bound) { return rng_() % bound; }

  std::mt19937_64 rng_;
  std::uint8_t record_[kRecordSize];
  std::size_t used_ = kRecordSize;  // bytes of record_ already handed out
  int at_ = 0;                      // write position in record_

  enum class Next {
    kFileHeader,
    kBatchHeader,
    kInvoiceHeader,
    kAct,
    kInvoiceTrailer,
    kBatchTrailer
  };
  Next next_ = Next::kFileHeader;
  std::uint64_t line_ = 0;
  std::uint32_t fileNumber_ = 0, batchNumber_ = 0, invoiceNumber_ = 0;
  std::uint32_t day_ = 0;  // days since the corpus's first date
  std::uint64_t practitioner_ = 0;
  std::array<std::uint64_t, 40> practitioners_{};
  int invoicesLeft_ = 0, actsLeft_ = 0;
  int invoicesInBatch_ = 0, actsInInvoice_ = 0;
  std::uint64_t batchAmount_ = 0, invoiceAmount_ = 0, invoicePaid_ = 0;
  std::uint64_t patient_ = 0;
  std::uint32_t birth_ = 0, key_ = 0;
  std::uint64_t prescriber_ = 0;
  const char* insurance_ = "MAL";
};

std::vector<std::uint8_t> BillingCorpus(std::size_t size);
std::vector<std::uint8_t> DenseBillingCorpus(std::size_t size);
std::vector<std::uint8_t> TextCorpus(std::size_t size);
std::vector<std::uint8_t> RandomCorpus(std::size_t size);

}  // namespace xmodemquarvel::pack::bench
