#include "platform/LineSettings.h"

#include <gtest/gtest.h>

namespace xmodemquarvel {
namespace {

TEST(LineSettings, AcceptsWhatAUartCanFrame) {
  struct Case {
    const char* text;
    int32_t baud;
    char parity;
    int data;
    int stop_halves;
  };
  const Case cases[] = {
      {"9600,N,8,1", 9600, 'N', 8, 2},     {"19200,E,7,1", 19200, 'E', 7, 2},
      {"1200,o,7,2", 1200, 'O', 7, 4},     {"300,m,7,1", 300, 'M', 7, 2},
      {"115200,s,8,2", 115200, 'S', 8, 4}, {"110,N,5,1.5", 110, 'N', 5, 3},
      {"2400,n,6,1", 2400, 'N', 6, 2},     {" 9600 , N , 8 , 1 ", 9600, 'N', 8, 2},
  };
  for (const auto& c : cases) {
    const auto s = LineSettings::Parse(c.text);
    ASSERT_TRUE(s.has_value()) << c.text;
    EXPECT_EQ(s->baud, c.baud) << c.text;
    EXPECT_EQ(s->parity, c.parity) << c.text;
    EXPECT_EQ(s->data_bits, c.data) << c.text;
    EXPECT_EQ(s->stop_halves, c.stop_halves) << c.text;
  }
}

TEST(LineSettings, RefusesEverythingElseWithAReason) {
  const char* cases[] = {
      "",           "9600",         "9600,N,8",          "9600,N,8,1,1",
      "9600,X,8,1", "9600,NN,8,1",  "9600,N,9,1",        "9600,N,4,1",
      "9600,N,8,3", "9600,N,8,1.5", "9600,N,5,2",        "14400,N,8,1",
      "0,N,8,1",    "-9600,N,8,1",  "96OO,N,8,1",        "9600;N;8;1",
      "9600,N,,1",  ",N,8,1",       "99999999999,N,8,1",
  };
  for (const char* text : cases) {
    std::string why;
    EXPECT_FALSE(LineSettings::Parse(text, &why).has_value()) << text;
    EXPECT_FALSE(why.empty()) << text;
  }
}

TEST(LineSettings, PrintsTheCanonicalText) {
  EXPECT_EQ(LineSettings::Parse("19200,e,7,1")->ToString(), "19200,E,7,1");
  EXPECT_EQ(LineSettings::Parse("110,N,5,1.5")->ToString(), "110,N,5,1.5");
}

}  // namespace
}  // namespace xmodemquarvel
