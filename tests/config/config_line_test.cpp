// How a configuration line falls into key, value and remark, and how numbers are read.
#include <gtest/gtest.h>

#include "config/config_line.h"

namespace quelma::config {
namespace {

using namespace std::string_literals;

TEST(SplitConfigLine, Tokens) {
  struct Case {
    std::string line, key, value, remark;
  };
  const Case cases[] = {
      {"MailDropDir = C:\\mail\\\r\n", "MailDropDir", "C:\\mail\\", ""},
      {"key\t=\t=  value ; remark tail\r\n", "key", "value", "remark"},
      {"key=value\r\n", "key=value", "", ""},  // a key written against "=" swallows it
      {" indented = x\r\n", "", "indented", "="},  // an empty key: the line is skipped
      {"user pass ; alias\r\n", "user", "pass", "alias"},
      {"user  ; \r\n", "user", "", ""},
      {"user ;;; ;alias\r\n", "user", "", "alias"},
      {"user pa;ss ; alias\r\n", "user", "pa", "ss"},
      {"Город Москва ; Улица\r\n", "Город", "Москва", "Улица"},
      {"k v\0tail ; r\r\n"s, "k", "v", ""},  // NUL ends a token like any byte below 33
      {"", "", "", ""},
  };
  for (const auto& c : cases) {
    const ConfigLine line = SplitConfigLine(c.line);
    EXPECT_EQ(line.key, c.key) << c.line;
    EXPECT_EQ(line.value, c.value) << c.line;
    EXPECT_EQ(line.remark, c.remark) << c.line;
  }
}

TEST(SplitConfigLine, LongTokensAreCutAndTheScanGoesOn) {
  const ConfigLine line = SplitConfigLine(std::string(400, 'k') + " " + std::string(1200, 'v') + " ; " +
                                          std::string(300, 'r') + "\r\n");
  EXPECT_EQ(line.key, std::string(kMaxKey, 'k'));
  EXPECT_EQ(line.value, std::string(kMaxValue, 'v'));
  EXPECT_EQ(line.remark, std::string(kMaxRemark, 'r'));
}

TEST(ConfigNumbers, ScanLikeScanf) {
  const std::tuple<std::string, std::optional<std::int32_t>, std::optional<std::uint32_t>> cases[] = {
      {"42", 42, 42u},
      {"+7x", 7, 7u},
      {"-1", -1, 0xFFFFFFFFu},
      {"99999999999", 2147483647, 0xFFFFFFFFu},
      {"-99999999999", -2147483647 - 1, 0xFFFFFFFFu},
      {"x1", std::nullopt, std::nullopt},
      {"-", std::nullopt, std::nullopt},
      {"", std::nullopt, std::nullopt},
  };
  for (const auto& [text, s, u] : cases) {
    EXPECT_EQ(ScanSigned(text), s) << text;
    EXPECT_EQ(ScanUnsigned(text), u) << text;
  }
}

}  // namespace
}  // namespace quelma::config
