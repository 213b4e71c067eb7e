// Making the test certificates with OpenSSL's X509 functions (P-256 keys: quick to make).
#ifndef _WIN32
#include "support/test_certificates.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <stdexcept>

namespace quelma::testing {
namespace {

struct Made {
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
};

void AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (!ext) throw std::runtime_error("extension");
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

// A certificate for `cn` with `names` (subjectAltName syntax), valid from `fromDays` to
// `toDays` days from now, signed by `issuer` (itself when null).
Made Make(const char* cn, const char* names, long fromDays, long toDays, const Made* issuer, bool ca, long serial) {
  Made m;
  m.key = EVP_EC_gen("P-256");
  m.cert = X509_new();
  X509_set_version(m.cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(m.cert), serial);
  X509_gmtime_adj(X509_getm_notBefore(m.cert), fromDays * 86400);
  X509_gmtime_adj(X509_getm_notAfter(m.cert), toDays * 86400);
  X509_set_pubkey(m.cert, m.key);
  X509_NAME* name = X509_get_subject_name(m.cert);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Quelmar tests"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn), -1, -1, 0);
  X509* signer = issuer ? issuer->cert : m.cert;
  X509_set_issuer_name(m.cert, X509_get_subject_name(signer));
  AddExtension(m.cert, signer, NID_basic_constraints, ca ? "critical,CA:TRUE" : "CA:FALSE");
  if (names) AddExtension(m.cert, signer, NID_subject_alt_name, names);
  if (!X509_sign(m.cert, issuer ? issuer->key : m.key, EVP_sha256())) throw std::runtime_error("sign");
  return m;
}

void Write(const Made& m, const std::string& certPath, const std::string& keyPath) {
  FILE* f = std::fopen(certPath.c_str(), "wb");
  PEM_write_X509(f, m.cert);
  std::fclose(f);
  if (keyPath.empty()) return;
  f = std::fopen(keyPath.c_str(), "wb");
  PEM_write_PrivateKey(f, m.key, nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(f);
}

void Free(Made& m) {
  X509_free(m.cert);
  EVP_PKEY_free(m.key);
}

std::string Sha256(X509* cert) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  X509_digest(cert, EVP_sha256(), digest, &length);
  std::string hex;
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (unsigned int i = 0; i < length; ++i) {
    hex.push_back(kHex[digest[i] >> 4]);
    hex.push_back(kHex[digest[i] & 15]);
  }
  return hex;
}

}  // namespace

TestCertificates::TestCertificates(const std::string& dir) {
  constexpr const char* kLocal = "DNS:localhost,IP:127.0.0.1,IP:::1";
  Made ca = Make("Quelmar Test CA", nullptr, -1, 3650, nullptr, true, 1);
  Made good = Make("localhost", kLocal, -1, 365, &ca, false, 2);
  Made expired = Make("localhost", kLocal, -30, -1, &ca, false, 3);
  Made other = Make("other.example", "DNS:other.example,DNS:*.other.example", -1, 365, &ca, false, 4);
  Made self = Make("localhost", kLocal, -1, 365, nullptr, false, 5);
  caCert = dir + "ca.pem";
  Write(ca, caCert, "");
  goodCert = dir + "good.pem", goodKey = dir + "good.key";
  Write(good, goodCert, goodKey);
  expiredCert = dir + "expired.pem", expiredKey = dir + "expired.key";
  Write(expired, expiredCert, expiredKey);
  otherHostCert = dir + "other.pem", otherHostKey = dir + "other.key";
  Write(other, otherHostCert, otherHostKey);
  selfSignedCert = dir + "self.pem", selfSignedKey = dir + "self.key";
  Write(self, selfSignedCert, selfSignedKey);
  selfSignedSha256 = Sha256(self.cert);
  for (Made* m : {&ca, &good, &expired, &other, &self}) Free(*m);
}

}  // namespace quelma::testing
#endif
