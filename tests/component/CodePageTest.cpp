#include "component/CodePage.h"

#include <gtest/gtest.h>

namespace xmodemquarvel {
namespace {

TEST(CodePage, EveryByteSurvivesTheRoundTrip) {
  for (int b = 0; b < 256; ++b) {
    const std::string byte(1, static_cast<char>(b));
    EXPECT_EQ(Utf8ToCp1252(Cp1252ToUtf8(byte)), byte) << b;
  }
}

TEST(CodePage, FrenchTextGoesOutAsWindows1252) {
  struct Case {
    const char* utf8;
    std::string bytes;
  };
  const Case cases[] = {
      {"abc", "abc"},
      {"é", "\xE9"},
      {"Élodie", "\xC9lodie"},
      {"€", "\x80"},
      {"œuvre", "\x9Cuvre"},
      {"ç à ù", "\xE7 \xE0 \xF9"},
      {"日本", "??"},                   // nothing in the code page for these
      {"\xFF\xFE", "\xFF\xFE"},         // not UTF-8: taken byte for byte
      {"a\xC3", "a\xC3"},               // cut sequence
      {"\xED\xA0\x80", "\xED\xA0\x80"}  // a surrogate is not a character
  };
  for (const auto& c : cases) EXPECT_EQ(Utf8ToCp1252(c.utf8), c.bytes) << c.utf8;
}

TEST(CodePage, BytesComeBackAsUtf8) {
  EXPECT_EQ(Cp1252ToUtf8("\xE9t\xE9"), "été");
  EXPECT_EQ(Cp1252ToUtf8("\x80"), "€");
  EXPECT_EQ(Cp1252ToUtf8(std::string(1, '\0')), std::string(1, '\0'));
}

}  // namespace
}  // namespace xmodemquarvel
