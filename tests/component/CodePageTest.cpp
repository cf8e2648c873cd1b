#include "component/CodePage.h"

#include <gtest/gtest.h>

namespace xmodemquarvel {
namespace {

TEST(CodePage, HostTextsAndLineBytes) {
  for (int b = 0; b < 256; ++b) {
    const std::string byte(1, static_cast<char>(b));
    EXPECT_EQ(Utf8ToCp1252(Cp1252ToUtf8(byte)), byte) << b;
  }
  // clang-format off
  const std::pair<const char*, std::string> cases[] = {
      {"abc", "abc"}, {"Élodie été", "\xC9lodie \xE9t\xE9"}, {"€", "\x80"}, {"œuvre", "\x9Cuvre"},
      {"日本", "??"},                   // nothing in the code page for these
      {"\xFF\xFE", "\xFF\xFE"},         // not UTF-8: taken byte for byte
      {"a\xC3", "a\xC3"},               // a cut sequence
      {"\xED\xA0\x80", "\xED\xA0\x80"}, // a surrogate is not a character
      {"\xC0\xAF", "\xC0\xAF"},         // nor an overlong form,
      {"\xF4\x90\x80\x80", "\xF4\x90\x80\x80"}, // nor a code point past U+10FFFF
      {"😀 \xE2\x82", "? \xE2\x82"},   // four bytes of UTF-8; a cut sequence of three
      // The first character of each length, those either side of the
      // surrogates, the last one: characters, without a byte in the code page.
      {"\xC2\x80\xE0\xA0\x80\xF0\x90\x80\x80\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF", "??????"},
  };
  // clang-format on
  for (const auto& [utf8, bytes] : cases) EXPECT_EQ(Utf8ToCp1252(utf8), bytes) << utf8;
  EXPECT_EQ(Cp1252ToUtf8(std::string("\xE9t\xE9\x80\0", 5)), std::string("été€\0", 9));
}

}  // namespace
}  // namespace xmodemquarvel
