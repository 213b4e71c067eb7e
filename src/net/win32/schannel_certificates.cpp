// Reading PEM certificates and keys with CryptoAPI, describing certificates, and the trust
// decision for a server's chain.
#include "net/win32/schannel_certificates.h"

#include <cstdio>
#include <cstring>

#include "net/certificate_names.h"
#include "platform/files.h"

namespace quelma::net {
namespace {

std::string ReadWhole(const std::string& path, bool& ok) {
  std::string bytes;
  auto file = platform::InputFile::Open(path);
  ok = file.has_value();
  if (!ok) return bytes;
  char buffer[8192];
  for (std::size_t n; (n = file->read(buffer, sizeof buffer)) > 0;) bytes.append(buffer, n);
  ok = !file->failed();
  return bytes;
}

// The DER bytes of each "-----BEGIN <label>-----" block of a PEM text.
std::vector<std::vector<BYTE>> PemBlocks(const std::string& text, const std::string& label) {
  std::vector<std::vector<BYTE>> blocks;
  const std::string begin = "-----BEGIN " + label + "-----";
  const std::string end = "-----END " + label + "-----";
  for (std::size_t at = text.find(begin); at != std::string::npos; at = text.find(begin, at + 1)) {
    const std::size_t stop = text.find(end, at);
    if (stop == std::string::npos) break;
    const std::string block = text.substr(at, stop + end.size() - at);
    DWORD size = 0;
    if (!CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER, nullptr,
                              &size, nullptr, nullptr)) {
      continue;
    }
    std::vector<BYTE> der(size);
    if (CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER, der.data(),
                             &size, nullptr, nullptr)) {
      der.resize(size);
      blocks.push_back(std::move(der));
    }
  }
  return blocks;
}

// The private key inside a PKCS#8 PrivateKeyInfo, read by hand where CryptoAPI cannot (Wine):
// SEQUENCE { INTEGER, SEQUENCE { OID, ... }, OCTET STRING key }. Nothing unless the OID is RSA.
bool Pkcs8RsaKey(const std::vector<BYTE>& der, std::vector<BYTE>& key) {
  std::size_t at = 0;
  auto header = [&](BYTE tag, std::size_t& length) {
    if (at + 2 > der.size() || der[at] != tag) return false;
    std::size_t n = der[at + 1];
    at += 2;
    if (n & 0x80) {
      const std::size_t bytes = n & 0x7F;
      if (bytes == 0 || bytes > 4 || at + bytes > der.size()) return false;
      n = 0;
      for (std::size_t i = 0; i < bytes; ++i) n = (n << 8) | der[at++];
    }
    length = n;
    return at + length <= der.size();
  };
  std::size_t length = 0;
  if (!header(0x30, length) || !header(0x02, length)) return false;
  at += length;  // the version
  if (!header(0x30, length)) return false;
  const std::size_t algorithmEnd = at + length;
  static constexpr BYTE kRsaOid[] = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
  if (length < sizeof kRsaOid || std::memcmp(der.data() + at, kRsaOid, sizeof kRsaOid) != 0) return false;
  at = algorithmEnd;
  if (!header(0x04, length)) return false;
  key.assign(der.begin() + static_cast<std::ptrdiff_t>(at), der.begin() + static_cast<std::ptrdiff_t>(at + length));
  return true;
}

std::string LastErrorText() {
  char text[32];
  std::snprintf(text, sizeof text, "error 0x%08lX", GetLastError());
  return text;
}

// "CN=host,O=Org", as OpenSSL writes it (most specific first, no blank after the commas).
std::string NameText(CERT_NAME_BLOB& name) {
  const DWORD type = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG | CERT_NAME_STR_NO_QUOTING_FLAG;
  DWORD size = CertNameToStrA(X509_ASN_ENCODING, &name, type, nullptr, 0);
  std::string text(size, '\0');
  CertNameToStrA(X509_ASN_ENCODING, &name, type, text.data(), size);
  while (!text.empty() && text.back() == '\0') text.pop_back();
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == ' ' && i > 0 && text[i - 1] == ',') continue;
    out.push_back(text[i]);
  }
  return out;
}

std::string TimeText(const FILETIME& time) {
  SYSTEMTIME t;
  if (!FileTimeToSystemTime(&time, &t)) return "?";
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u UTC", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                t.wSecond);
  return text;
}

std::string AddressText(const CRYPT_DATA_BLOB& address) {
  const BYTE* b = address.pbData;
  char text[64] = "?";
  if (address.cbData == 4) {
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  } else if (address.cbData == 16) {
    int at = 0;
    for (int i = 0; i < 16; i += 2) {
      at += std::snprintf(text + at, sizeof text - static_cast<std::size_t>(at), i ? ":%x" : "%x", (b[i] << 8) | b[i + 1]);
    }
  }
  return text;
}

std::vector<std::string> NamesOf(PCCERT_CONTEXT cert) {
  std::vector<std::string> names;
  const CERT_INFO* info = cert->pCertInfo;
  if (const CERT_EXTENSION* ext = CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension)) {
    CERT_ALT_NAME_INFO* alt = nullptr;
    DWORD size = 0;
    if (CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, ext->Value.pbData, ext->Value.cbData,
                            CRYPT_DECODE_ALLOC_FLAG, nullptr, &alt, &size)) {
      for (DWORD i = 0; i < alt->cAltEntry; ++i) {
        const CERT_ALT_NAME_ENTRY& entry = alt->rgAltEntry[i];
        if (entry.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME) {
          std::string name;
          for (const wchar_t* c = entry.pwszDNSName; *c; ++c) name.push_back(*c < 128 ? static_cast<char>(*c) : '?');
          names.push_back(name);
        } else if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS) {
          names.push_back(AddressText(entry.IPAddress));
        }
      }
      LocalFree(alt);
    }
  }
  if (names.empty()) {
    char cn[256] = "";
    if (CertGetNameStringA(cert, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME), cn, sizeof cn) > 1) {
      names.push_back(cn);
    }
  }
  return names;
}

}  // namespace

CertificateInfo DescribeCertificate(PCCERT_CONTEXT cert) {
  CertificateInfo info;
  info.subject = NameText(cert->pCertInfo->Subject);
  info.issuer = NameText(cert->pCertInfo->Issuer);
  info.names = NamesOf(cert);
  info.notBefore = TimeText(cert->pCertInfo->NotBefore);
  info.notAfter = TimeText(cert->pCertInfo->NotAfter);
  info.timeValid = CertVerifyTimeValidity(nullptr, cert->pCertInfo) == 0;
  BYTE digest[32];
  DWORD length = sizeof digest;
  if (CryptHashCertificate2(L"SHA256", 0, nullptr, cert->pbCertEncoded, cert->cbCertEncoded, digest, &length)) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (DWORD i = 0; i < length; ++i) {
      info.sha256.push_back(kHex[digest[i] >> 4]);
      info.sha256.push_back(kHex[digest[i] & 15]);
    }
  }
  return info;
}

namespace {

TlsFailure FailureOfPolicy(DWORD error) {
  switch (error) {
    case static_cast<DWORD>(CERT_E_EXPIRED):
    case static_cast<DWORD>(CERT_E_VALIDITYPERIODNESTING): return TlsFailure::kExpired;
    case static_cast<DWORD>(CERT_E_CN_NO_MATCH): return TlsFailure::kHostName;
    default: return TlsFailure::kUntrusted;
  }
}

}  // namespace

bool LoadPemCertificates(const std::string& path, std::vector<PCCERT_CONTEXT>& out, std::string& error) {
  bool ok = false;
  const std::string text = ReadWhole(path, ok);
  if (!ok) {
    error = "the file cannot be read";
    return false;
  }
  const std::size_t before = out.size();
  for (const auto& der : PemBlocks(text, "CERTIFICATE")) {
    PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(),
                                                       static_cast<DWORD>(der.size()));
    if (cert) out.push_back(cert);
  }
  if (out.size() == before) error = "no certificate in the file";
  return out.size() > before;
}

void JudgeServerCertificate(const CtxtHandle& context, const TlsClientSettings& settings,
                            const std::vector<PCCERT_CONTEXT>& extraTrusted, TlsOutcome& outcome) {
  PCCERT_CONTEXT leaf = nullptr;
  if (QueryContextAttributesA(const_cast<CtxtHandle*>(&context), SECPKG_ATTR_REMOTE_CERT_CONTEXT, &leaf) != SEC_E_OK ||
      !leaf) {
    outcome.failure = TlsFailure::kUntrusted;
    outcome.reason = "the server sent no certificate";
    return;
  }
  JudgeServerChain(leaf, settings, extraTrusted, outcome);
  CertFreeCertificateContext(leaf);
}

void JudgeServerChain(PCCERT_CONTEXT leaf, const TlsClientSettings& settings,
                      const std::vector<PCCERT_CONTEXT>& extraTrusted, TlsOutcome& outcome) {
  // The chain from what the server sent, the extra trusted certificates and the system's stores.
  HCERTSTORE extra = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  HCERTSTORE both = CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
  for (PCCERT_CONTEXT c : extraTrusted) CertAddCertificateContextToStore(extra, c, CERT_STORE_ADD_ALWAYS, nullptr);
  CertAddStoreToCollection(both, leaf->hCertStore, 0, 0);
  CertAddStoreToCollection(both, extra, 0, 0);
  LPSTR usage[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
  CERT_CHAIN_PARA chainPara{};
  chainPara.cbSize = sizeof chainPara;
  chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
  chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
  chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = usage;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (!CertGetCertificateChain(nullptr, leaf, nullptr, both, &chainPara, 0, nullptr, &chain) || !chain ||
      chain->cChain == 0) {
    outcome.chain.push_back(DescribeCertificate(leaf));
    outcome.failure = TlsFailure::kUntrusted;
    outcome.reason = "CertGetCertificateChain: " + LastErrorText();
  } else {
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    for (DWORD i = 0; i < simple->cElement; ++i) outcome.chain.push_back(DescribeCertificate(simple->rgpElement[i]->pCertContext));
    if (!settings.fingerprint.empty()) {
      if (outcome.chain.front().sha256 != settings.fingerprint) outcome.failure = TlsFailure::kPin;
    } else {
      // A chain that ends at one of the extra trusted certificates is as good as one the system trusts.
      PCCERT_CONTEXT top = simple->rgpElement[simple->cElement - 1]->pCertContext;
      bool extraRoot = false;
      for (PCCERT_CONTEXT c : extraTrusted) {
        extraRoot = extraRoot || (c->cbCertEncoded == top->cbCertEncoded &&
                                  std::memcmp(c->pbCertEncoded, top->pbCertEncoded, c->cbCertEncoded) == 0);
      }
      // The chain's own verdict first: not every system's SSL policy refuses a chain that
      // leads nowhere (Wine's takes a partial chain).
      DWORD errors = chain->TrustStatus.dwErrorStatus &
                     ~static_cast<DWORD>(CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION);
      if (extraRoot) errors &= ~static_cast<DWORD>(CERT_TRUST_IS_UNTRUSTED_ROOT);
      SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
      ssl.cbSize = sizeof ssl;
      ssl.dwAuthType = AUTHTYPE_SERVER;
      ssl.pwszServerName = nullptr;  // the names are checked below, the same way on every system
      CERT_CHAIN_POLICY_PARA policy{};
      policy.cbSize = sizeof policy;
      policy.dwFlags = extraRoot ? CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG : 0;
      policy.pvExtraPolicyPara = &ssl;
      CERT_CHAIN_POLICY_STATUS status{};
      status.cbSize = sizeof status;
      if (errors & CERT_TRUST_IS_NOT_TIME_VALID) {
        outcome.failure = TlsFailure::kExpired;
      } else if (errors != 0) {
        outcome.failure = TlsFailure::kUntrusted;
        outcome.reason = (errors & CERT_TRUST_IS_PARTIAL_CHAIN)    ? "the issuer is not known"
                         : (errors & CERT_TRUST_IS_UNTRUSTED_ROOT) ? "the root certificate is not trusted"
                                                                   : "chain status " + std::to_string(errors);
      } else if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status)) {
        outcome.failure = TlsFailure::kUntrusted;
        outcome.reason = "CertVerifyCertificateChainPolicy: " + LastErrorText();
      } else if (status.dwError != 0) {
        outcome.failure = FailureOfPolicy(status.dwError);
        outcome.reason = SystemMessage(status.dwError);
      } else if (!CertificateCoversHost(outcome.chain.front().names, settings.host)) {
        outcome.failure = TlsFailure::kHostName;
      }
    }
  }
  if (chain) CertFreeCertificateChain(chain);
  CertCloseStore(both, 0);
  CertCloseStore(extra, 0);
}

PCCERT_CONTEXT LoadCertificateWithKey(const std::string& certFile, const std::string& keyFile, CredentialsError& error) {
  std::vector<PCCERT_CONTEXT> certs;
  std::string why;
  if (!LoadPemCertificates(certFile, certs, why)) {
    error = {CredentialsProblem::kNoCertificate, certFile, why};
    return nullptr;
  }
  for (std::size_t i = 1; i < certs.size(); ++i) CertFreeCertificateContext(certs[i]);
  PCCERT_CONTEXT cert = certs[0];
  auto fail = [&](CredentialsProblem problem, const std::string& reason) -> PCCERT_CONTEXT {
    error = {problem, keyFile, reason};
    CertFreeCertificateContext(cert);
    return nullptr;
  };
  bool ok = false;
  const std::string text = ReadWhole(keyFile, ok);
  if (!ok) return fail(CredentialsProblem::kUnreadable, "the file cannot be read");
  // PKCS#1 inside PKCS#8, or PKCS#1 alone; only RSA keys can go into a CryptoAPI container.
  std::vector<BYTE> pkcs1;
  if (auto blocks = PemBlocks(text, "PRIVATE KEY"); !blocks.empty()) {
    if (!Pkcs8RsaKey(blocks[0], pkcs1)) {
      return fail(CredentialsProblem::kKeyKind, "not an RSA private key: only RSA keys can be used on Windows");
    }
  } else if (auto rsaBlocks = PemBlocks(text, "RSA PRIVATE KEY"); !rsaBlocks.empty()) {
    pkcs1 = rsaBlocks[0];
  } else if (!PemBlocks(text, "EC PRIVATE KEY").empty()) {
    return fail(CredentialsProblem::kKeyKind, "an EC key: only RSA keys can be used on Windows");
  } else {
    return fail(CredentialsProblem::kNoKey, "no unencrypted RSA private key in the file");
  }
  BYTE* blob = nullptr;
  DWORD blobSize = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING, PKCS_RSA_PRIVATE_KEY, pkcs1.data(), static_cast<DWORD>(pkcs1.size()),
                           CRYPT_DECODE_ALLOC_FLAG, nullptr, &blob, &blobSize)) {
    return fail(CredentialsProblem::kNoKey, "the RSA key cannot be read (" + LastErrorText() + ")");
  }
  // A key container of this process for this certificate; the key must be exportable for
  // the TLS library to use it under Wine.
  static LONG counter = 0;
  wchar_t container[64];
  std::swprintf(container, 64, L"quelma-local-tls-%lu-%ld", GetCurrentProcessId(), InterlockedIncrement(&counter));
  HCRYPTPROV provider = 0;
  CryptAcquireContextW(&provider, container, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, CRYPT_DELETEKEYSET);
  if (!CryptAcquireContextW(&provider, container, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, CRYPT_NEWKEYSET)) {
    LocalFree(blob);
    return fail(CredentialsProblem::kLibrary, "no key container (" + LastErrorText() + ")");
  }
  HCRYPTKEY key = 0;
  const bool imported = CryptImportKey(provider, blob, blobSize, 0, CRYPT_EXPORTABLE, &key);
  LocalFree(blob);
  if (!imported) {
    CryptReleaseContext(provider, 0);
    return fail(CredentialsProblem::kLibrary, "the key cannot be imported (" + LastErrorText() + ")");
  }
  CryptDestroyKey(key);
  // The key must belong to the certificate.
  DWORD publicSize = 0;
  CryptExportPublicKeyInfo(provider, AT_KEYEXCHANGE, X509_ASN_ENCODING, nullptr, &publicSize);
  std::vector<BYTE> publicInfo(publicSize);
  const bool matches =
      publicSize > 0 &&
      CryptExportPublicKeyInfo(provider, AT_KEYEXCHANGE, X509_ASN_ENCODING,
                               reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(publicInfo.data()), &publicSize) &&
      CertComparePublicKeyInfo(X509_ASN_ENCODING, reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(publicInfo.data()),
                               &cert->pCertInfo->SubjectPublicKeyInfo);
  CryptReleaseContext(provider, 0);
  if (!matches) return fail(CredentialsProblem::kKeyMismatch, "the key does not belong to the certificate");
  CRYPT_KEY_PROV_INFO keyInfo{};
  keyInfo.pwszContainerName = container;
  keyInfo.pwszProvName = const_cast<wchar_t*>(MS_ENH_RSA_AES_PROV_W);
  keyInfo.dwProvType = PROV_RSA_AES;
  keyInfo.dwKeySpec = AT_KEYEXCHANGE;
  if (!CertSetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, 0, &keyInfo)) {
    return fail(CredentialsProblem::kLibrary, "the key cannot be joined to the certificate (" + LastErrorText() + ")");
  }
  return cert;
}

void ForgetKeyContainer(PCCERT_CONTEXT cert) {
  DWORD size = 0;
  if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size) || size == 0) return;
  std::vector<BYTE> bytes(size);
  if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, bytes.data(), &size)) return;
  const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(bytes.data());
  HCRYPTPROV provider = 0;
  CryptAcquireContextW(&provider, info->pwszContainerName, info->pwszProvName, info->dwProvType, CRYPT_DELETEKEYSET);
}

std::string CipherName(ALG_ID cipher, DWORD strength) {
  switch (cipher) {
    case CALG_AES_128: return "AES-128";
    case CALG_AES_256: return "AES-256";
    default: break;
  }
  return "cipher " + std::to_string(cipher) + "/" + std::to_string(strength);
}

std::string SystemMessage(DWORD code) {
  char* message = nullptr;
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                          FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, code, 0, reinterpret_cast<char*>(&message), 0, nullptr);
  char number[32];
  std::snprintf(number, sizeof number, "0x%08lX", code);
  std::string text = number;
  if (length > 0 && message) {
    std::string words(message, length);
    while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == ' ')) words.pop_back();
    text += " " + words;
  }
  if (message) LocalFree(message);
  return text;
}

}  // namespace quelma::net
