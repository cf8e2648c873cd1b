#include "modem/AnswerLine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace xmodemquarvel {
namespace {

std::vector<std::string> Lines(const std::string& bytes) {
  std::vector<std::string> lines;
  std::string line;
  for (char c : bytes) {
    if (AnswerLine::Take(line, static_cast<std::uint8_t>(c))) {
      lines.push_back(line);
      line.clear();
    }
  }
  return lines;
}

TEST(AnswerLine, FiltersWhatTheModemSends) {
  struct Case {
    std::string bytes;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"ATZ\r\r\nOK\r\n", {"ATZ", "OK"}},  // echo, then the answer
      {"\r\nOK\r\n", {"OK"}},              // no echo: the first LF finds nothing
      {"\n\n\nOK\n", {"OK"}},
      {"O\x01K\x1F\r\n", {"OK"}},  // control codes dropped
      {"\xCF\xCB\r\n", {"OK"}},    // parity bit set: 0xCF is 'O' | 0x80
      {"\x8A", {}},                // an LF with its high bit ends nothing here
      {"a\x8A", {"a"}},            // but ends a line that holds something
      {"\x7F\r\n", {"\x7F"}},      // DEL is kept
      {"CONNECT 9600\r\nNO CARRIER\r\n", {"CONNECT 9600", "NO CARRIER"}},
      {"OK", {}},  // no LF yet
  };
  for (const auto& c : cases) EXPECT_EQ(Lines(c.bytes), c.lines) << c.bytes;
}

TEST(AnswerLine, ABabblingLineIsCapped) {
  std::string line;
  for (int i = 0; i < 10000; ++i) EXPECT_FALSE(AnswerLine::Take(line, 'x'));
  EXPECT_EQ(line.size(), AnswerLine::kMaxLength);
  EXPECT_TRUE(AnswerLine::Take(line, '\n'));
}

TEST(AnswerLine, ConnectAndDelayedAreShortened) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {{"CONNECT 9600/ARQ", "CONNECT"},  {"CONNECT", "CONNECT"},
                        {"DELAYED 30", "DELAYED"},        {"CONNEC", "CONNEC"},
                        {"connect 9600", "connect 9600"}, {"OK", "OK"}};
  for (const auto& c : cases) {
    std::string line = c.in;
    AnswerLine::Shorten(line);
    EXPECT_EQ(line, c.out);
  }
}

}  // namespace
}  // namespace xmodemquarvel
