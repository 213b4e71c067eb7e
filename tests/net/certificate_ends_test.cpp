// The certificate dates both TLS libraries write, read back as seconds; anything else refused.
#include "net/certificate_ends.h"

#include <gtest/gtest.h>

namespace quelma::net {
namespace {

TEST(CertificateEnds, TheLibrariesDateTextAsSeconds) {
  const struct {
    const char* text;
    std::optional<std::int64_t> seconds;
  } cases[] = {
      {"1970-01-01 00:00:00 UTC", 0},
      {"2026-12-09 07:06:40 UTC", 1796800000},
      {"2028-02-29 23:59:59 UTC", 1835481599},
      {"?", std::nullopt},
      {"2026-13-01 00:00:00 UTC", std::nullopt},
      {"2026-12-09 07:06:40", std::nullopt},
      {"2026-12-09 07:06:40 UTC and more", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(CertificateTimeSeconds(c.text), c.seconds) << c.text;
}

TEST(CertificateEnds, EachHostKeepsItsLastCertificate) {
  NoteProviderCertificate("pop.test.invalid", "2027-01-01 00:00:00 UTC");
  NoteProviderCertificate("pop.test.invalid", "2027-06-01 00:00:00 UTC");
  NoteProviderCertificate("bad.test.invalid", "?");
  const auto ends = ProviderCertificateEnds();
  EXPECT_EQ(ends.at("pop.test.invalid"), *CertificateTimeSeconds("2027-06-01 00:00:00 UTC"));
  EXPECT_FALSE(ends.contains("bad.test.invalid"));
}

}  // namespace
}  // namespace quelma::net
