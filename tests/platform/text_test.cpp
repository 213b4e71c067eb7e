// The two case rules over all 256 byte values.
#include <gtest/gtest.h>

#include "platform/text.h"

namespace quelma::platform {
namespace {

TEST(Text, Cp1251LowerCaseOfEveryByte) {
  // The capitals outside A-Z and А-Я with their small letters, as code page 1251 pairs them.
  const std::pair<unsigned, unsigned> extra[] = {{0x80, 0x90}, {0x81, 0x83}, {0x8A, 0x9A}, {0x8C, 0x9C},
                                                 {0x8D, 0x9D}, {0x8E, 0x9E}, {0x8F, 0x9F}, {0xA1, 0xA2},
                                                 {0xA3, 0xBC}, {0xA5, 0xB4}, {0xA8, 0xB8}, {0xAA, 0xBA},
                                                 {0xAF, 0xBF}, {0xB2, 0xB3}, {0xBD, 0xBE}};
  for (unsigned b = 0; b < 256; ++b) {
    unsigned expected = b;
    if ((b >= 'A' && b <= 'Z') || (b >= 0xC0 && b <= 0xDF)) expected = b + 32;
    for (const auto& [upper, lower] : extra) {
      if (b == upper) expected = lower;
    }
    EXPECT_EQ(static_cast<unsigned char>(LowerCp1251(static_cast<char>(b))), expected) << b;
    const unsigned ascii = (b >= 'A' && b <= 'Z') ? b + 32 : b;
    EXPECT_EQ(static_cast<unsigned char>(LowerAscii(static_cast<char>(b))), ascii) << b;
  }
  EXPECT_EQ(ToLowerCp1251("МойДомен.RU"), "мойдомен.ru");
  EXPECT_EQ(ToLowerAscii("МойДомен.RU"), "МойДомен.ru");
}

}  // namespace
}  // namespace quelma::platform
