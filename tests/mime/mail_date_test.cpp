// Header dates across the epoch, leap days and the century rule (checked against Python's
// calendar).
#include <gtest/gtest.h>

#include "mime/mail_date.h"

namespace quelma::mime {
namespace {

TEST(MailDate, SecondsBecomeTheHeadersDate) {
  const struct {
    std::int64_t seconds;
    const char* date;
  } cases[] = {
      {0, "Thu, 01 Jan 1970 00:00:00 +0000"},
      {-1, "Wed, 31 Dec 1969 23:59:59 +0000"},
      {951782400, "Tue, 29 Feb 2000 00:00:00 +0000"},
      {1709211661, "Thu, 29 Feb 2024 13:01:01 +0000"},
      {1796820542, "Wed, 09 Dec 2026 12:49:02 +0000"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatMailDate(c.seconds), c.date) << c.seconds;
}

}  // namespace
}  // namespace quelma::mime
