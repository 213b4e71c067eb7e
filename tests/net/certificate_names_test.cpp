// The host check of Schannel builds, run on both.
#include <gtest/gtest.h>

#include "net/certificate_names.h"

namespace quelma::net {
namespace {

TEST(CertificateNames, WhichHostsACertificateCovers) {
  const std::vector<std::string> names = {"pop.example.com", "*.mail.example.com", "127.0.0.1", "0:0:0:0:0:0:0:1",
                                          "*.com"};
  const struct Case {
    const char* host;
    bool covered;
  } cases[] = {
      {"pop.example.com", true},     {"POP.Example.COM", true},       {"pop.example.com.", true},
      {"smtp.example.com", false},   {"a.mail.example.com", true},    {"mail.example.com", false},
      {"a.b.mail.example.com", false}, {"example.com", false},        {"127.0.0.1", true},
      {"127.0.0.2", false},          {"0:0:0:0:0:0:0:1", true},       {"", false},
      {"evilpop.example.com", false}, {"pop.example.com.evil", false}, {"::1", true},
      {"0::1", true},                {"::2", false},                  {"::ffff:127.0.0.1", false},
  };
  for (const Case& c : cases) EXPECT_EQ(CertificateCoversHost(names, c.host), c.covered) << c.host;
}

}  // namespace
}  // namespace quelma::net
