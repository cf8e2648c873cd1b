#include "demo/BillingFile.h"
#include "system/Records.h"

#include <random>

namespace xmodemq {

std::string BillingFile(int records, unsigned seed) {
  std::mt19937 random(seed);
  const auto digits = [&](std::string& record, int count) {
    for (int i = 0; i < count; ++i) record.push_back(static_cast<char>('0' + random() % 10));
  };
  std::string text;
  text.reserve(static_cast<std::size_t>(records * kRecord));
  for (int r = 0; r < records; ++r) {
    std::string record;
    // Record type, sequence, insured number, act code, date, amount; a blank
    // area of optional fields; a check key.
    record += r == 0 ? "01" : (r + 1 == records ? "99" : "02");
    record += ' ';
    const std::string sequence = std::to_string(100000 + r);
    record += sequence.substr(1);
    record += ' ';
    digits(record, 13);
    record += "  ";
    digits(record, 4);
    record += ' ';
    digits(record, 8);
    record += ' ';
    record += std::string(6 - random() % 4, '0');
    digits(record, 4);
    record.resize(100, ' ');
    digits(record, 2);
    record.resize(126, ' ');
    record += "\r\n";
    text += record;
  }
  return text;
}

}  // namespace xmodemq
