#include "platform/LineSettings.h"

#include <gtest/gtest.h>

namespace xmodemquarvel {
namespace {

TEST(LineSettings, AcceptsWhatAUartCanFrameAndRefusesTheRestWithAReason) {
  // Text, its canonical form (baud, parity, data bits, stop bits).
  // clang-format off
  const std::pair<const char*, const char*> good[] = {
      {"9600,N,8,1", "9600,N,8,1"}, {"19200,e,7,1", "19200,E,7,1"}, {"1200,o,7,2", "1200,O,7,2"},
      {"300,m,7,1", "300,M,7,1"}, {"115200,s,8,2", "115200,S,8,2"}, {"110,N,5,1.5", "110,N,5,1.5"},
      {"2400,n,6,1", "2400,N,6,1"}, {"600,N,8,1", "600,N,8,1"}, {"50,E,7,2", "50,E,7,2"}, {" 9600 , N , 8 , 1 ", "9600,N,8,1"}};
  const char* bad[] = {
      "", "9600", "9600,N,8", "9600,N,8,1,1", "9600,X,8,1", "9600,NN,8,1", "9600,N,9,1",
      "9600,N,4,1", "9600,N,8,3", "9600,N,8,1.5", "9600,N,5,2", "14400,N,8,1", "0,N,8,1",
      "-9600,N,8,1", "96OO,N,8,1", "9600;N;8;1", "9600,N,,1", ",N,8,1", "99999999999,N,8,1"};
  // clang-format on
  for (const auto& [text, canonical] : good) {
    const auto s = LineSettings::Parse(text);
    ASSERT_TRUE(s.has_value()) << text;
    EXPECT_EQ(s->ToString(), canonical);
  }
  for (const char* text : bad) {
    std::string why;
    EXPECT_FALSE(LineSettings::Parse(text, &why).has_value()) << text;
    EXPECT_FALSE(why.empty()) << text;
  }
  // The reason names the piece refused.
  std::string why;
  LineSettings::Parse("14400,E,7,1", &why);
  EXPECT_EQ(why, "Vitesse non prise en charge : 14400");
}

}  // namespace
}  // namespace xmodemquarvel
