// Certificates made for a test run (Linux builds, through OpenSSL): a CA, and certificates it
// signed for localhost and 127.0.0.1, for another host, and one that has expired; a
// self-signed one; each as PEM files with its key in the given directory.
#pragma once

#include <string>

namespace quelma::testing {

struct TestCertificates {
  // Makes them all in `dir` (ending with the separator).
  explicit TestCertificates(const std::string& dir);

  std::string caCert;                          // the CA's certificate (a trusted-certificates file)
  std::string goodCert, goodKey;               // localhost, 127.0.0.1 and ::1, signed by the CA
  std::string expiredCert, expiredKey;         // localhost, expired a day ago
  std::string otherHostCert, otherHostKey;     // other.example only
  std::string selfSignedCert, selfSignedKey;   // localhost, signed by itself
  std::string selfSignedSha256;                // its fingerprint, 64 upper-case hex digits
};

}  // namespace quelma::testing
