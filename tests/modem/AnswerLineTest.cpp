#include "modem/AnswerLine.h"

#include <gtest/gtest.h>

#include <vector>

namespace xmodemquarvel {
namespace {

// The lines the bytes make, each shortened as the dialogue compares it.
std::vector<std::string> Lines(const std::string& bytes) {
  std::vector<std::string> lines;
  std::string line;
  for (char c : bytes) {
    if (!AnswerLine::Take(line, static_cast<std::uint8_t>(c))) continue;
    AnswerLine::Shorten(line);
    lines.push_back(std::exchange(line, ""));
  }
  return lines;
}

TEST(AnswerLine, FiltersAndShortensWhatTheModemSends) {
  // clang-format off
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"ATZ\r\r\nOK\r\n", {"ATZ", "OK"}},  // echo, then the answer
      {"\r\nOK\r\n", {"OK"}},              // no echo: the first LF finds nothing
      {"\n\n\nOK\n", {"OK"}},
      {"O\x01K\x1F\r\n", {"OK"}},          // control codes dropped
      {"\xCF\xCB\r\n", {"OK"}},            // parity bit set: 0xCF is 'O' | 0x80
      {"\x8A", {}},                        // an LF with its high bit ends nothing here,
      {"a\x8A", {"a"}},                    // but ends a line that holds something
      {"\x7F\r\n", {"\x7F"}},              // DEL is kept
      {"OK", {}},                          // no LF yet
      {"CONNECT 9600/ARQ\nCONNECT\nDELAYED 30\nCONNEC\nconnect 9600\n",
       {"CONNECT", "CONNECT", "DELAYED", "CONNEC", "connect 9600"}},
      // Nothing but the time-out bounds a line: past the cap the rest is dropped.
      {std::string(10000, 'x') + "\n", {std::string(AnswerLine::kMaxLength, 'x')}},
  };
  // clang-format on
  for (const auto& [bytes, lines] : cases) EXPECT_EQ(Lines(bytes), lines) << bytes.substr(0, 80);
}

}  // namespace
}  // namespace xmodemquarvel
