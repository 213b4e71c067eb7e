// Loading the local servers' certificate and key: what every TLS library is given the same way
// (both files readable, each holding what it should, not swapped), then the library's own part.
#include <string_view>

#include "net/tls.h"
#include "platform/files.h"

namespace quelma::net {
namespace {

constexpr std::size_t kPemFileLimit = 1 << 20;  // a chain and a key take a few kilobytes

// Whether `text` has a PEM block whose label ends with `labelEnd` ("CERTIFICATE", "PRIVATE KEY"
// for "RSA PRIVATE KEY", "EC PRIVATE KEY" and the others too).
bool HasPemBlock(std::string_view text, std::string_view labelEnd) {
  constexpr std::string_view kBegin = "-----BEGIN ";
  for (std::size_t at = text.find(kBegin); at != std::string_view::npos; at = text.find(kBegin, at + 1)) {
    const std::size_t close = text.find("-----", at + kBegin.size());
    if (close == std::string_view::npos) return false;
    if (text.substr(at + kBegin.size(), close - at - kBegin.size()).ends_with(labelEnd)) return true;
  }
  return false;
}

bool HasProtectedKey(std::string_view text) {
  return HasPemBlock(text, "ENCRYPTED PRIVATE KEY") || text.find("Proc-Type: 4,ENCRYPTED") != std::string_view::npos;
}

std::optional<std::string> ReadPem(const std::string& file, CredentialsError& error) {
  std::optional<std::string> text = platform::ReadWholeFile(file, kPemFileLimit);
  if (!text) error = {CredentialsProblem::kUnreadable, file, platform::LastFileErrorText()};
  return text;
}

}  // namespace

std::shared_ptr<const TlsServerCredentials> TlsServerCredentials::Load(const std::string& certFile,
                                                                       const std::string& keyFile,
                                                                       CredentialsError& error) {
  error = CredentialsError{};
  const std::optional<std::string> cert = ReadPem(certFile, error);
  if (!cert) return nullptr;
  const std::optional<std::string> key = ReadPem(keyFile, error);
  if (!key) return nullptr;
  const bool certHasCert = HasPemBlock(*cert, "CERTIFICATE");
  const bool keyHasKey = HasPemBlock(*key, "PRIVATE KEY");
  if (!certHasCert && HasPemBlock(*cert, "PRIVATE KEY") && !keyHasKey && HasPemBlock(*key, "CERTIFICATE")) {
    error = {CredentialsProblem::kSwapped, certFile, "a private key where the certificate belongs, and the other way round"};
    return nullptr;
  }
  if (!certHasCert) {
    error = {CredentialsProblem::kNoCertificate, certFile, "no PEM certificate in the file"};
    return nullptr;
  }
  if (HasProtectedKey(*key)) {
    error = {CredentialsProblem::kNoKey, keyFile, "the private key is protected by a password"};
    return nullptr;
  }
  if (!keyHasKey) {
    error = {CredentialsProblem::kNoKey, keyFile, "no PEM private key in the file"};
    return nullptr;
  }
  return LoadFromFiles(certFile, keyFile, error);
}

}  // namespace quelma::net
