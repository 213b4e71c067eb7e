// A certificate for localhost and 127.0.0.1 with its RSA key, and an RSA key of no certificate,
// fixed in the source (valid until 2126): PEM files for tests on both systems, since Schannel
// takes only RSA keys for a server (the certificates of TestCertificates have P-256 keys).
#pragma once

#include <string>

namespace quelma::testing {

struct FixedRsaPair {
  // Writes the three files into `dir` (ending with the separator).
  explicit FixedRsaPair(const std::string& dir);
  std::string cert, key, otherKey;  // their paths
};

}  // namespace quelma::testing
