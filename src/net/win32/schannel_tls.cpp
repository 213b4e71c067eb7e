// TLS through Schannel (SSPI): the handshake token loop over our byte stream, records split
// and joined by hand (incomplete records, extra bytes after a record, post-handshake messages,
// close_notify), and the server's certificate judged with the system's chain engine after
// the handshake, before any byte of ours goes through.
#define SECURITY_WIN32
#define SCHANNEL_USE_BLACKLISTS  // SCH_CREDENTIALS, which TLS 1.3 needs
#include <windows.h>
#include <wincrypt.h>
#include <subauth.h>
#include <schannel.h>
#include <security.h>
#include <sspi.h>
#include <bcrypt.h>

#include <cstring>
#include <cwchar>
#include <iterator>
#include <vector>

#include "net/certificate_names.h"
#include "net/tls.h"
#include "net/win32/schannel_certificates.h"

namespace quelma::net {
namespace {

constexpr std::size_t kReceiveChunk = 17 * 1024;  // a TLS record and its overhead

// What the local servers refuse in TLS 1.2: key exchange without forward secrecy (static RSA,
// and finite-field DH, which old clients offer with weak groups) and CBC ciphers, so that only
// ECDHE with AES-GCM (or ChaCha20-Poly1305 where the system has it) is left. TLS 1.3 suites
// are all of that kind already.
struct ServerRefusals {
  ServerRefusals() = default;
  ServerRefusals(const ServerRefusals&) = delete;  // `settings` points into it
  ServerRefusals& operator=(const ServerRefusals&) = delete;

  UNICODE_STRING rsa = Unicode(BCRYPT_RSA_ALGORITHM);
  UNICODE_STRING dh = Unicode(BCRYPT_DH_ALGORITHM);
  UNICODE_STRING aes = Unicode(BCRYPT_AES_ALGORITHM);
  UNICODE_STRING des3 = Unicode(BCRYPT_3DES_ALGORITHM);
  UNICODE_STRING rc4 = Unicode(BCRYPT_RC4_ALGORITHM);
  UNICODE_STRING cbc = Unicode(BCRYPT_CHAIN_MODE_CBC);
  CRYPTO_SETTINGS settings[5] = {
      {TlsParametersCngAlgUsageKeyExchange, rsa, 0, nullptr, 0, 0},
      {TlsParametersCngAlgUsageKeyExchange, dh, 0, nullptr, 0, 0},
      {TlsParametersCngAlgUsageCipher, aes, 1, &cbc, 0, 0},
      {TlsParametersCngAlgUsageCipher, des3, 0, nullptr, 0, 0},
      {TlsParametersCngAlgUsageCipher, rc4, 0, nullptr, 0, 0},
  };

  static UNICODE_STRING Unicode(const wchar_t* text) {
    const auto bytes = static_cast<USHORT>(std::wcslen(text) * sizeof(wchar_t));
    return {bytes, bytes, const_cast<wchar_t*>(text)};
  }
};

// Credentials for one side: TLS 1.2 and newer only. SCH_CREDENTIALS where the system knows it
// (needed for TLS 1.3, and for refusing single suites on the server side), else the older
// SCHANNEL_CRED limited to TLS 1.2, with the system's own algorithm list (that list cannot
// tell CBC from GCM, and Wine's Schannel takes no list at all).
SECURITY_STATUS AcquireCredentials(bool client, PCCERT_CONTEXT certificate, CredHandle& handle) {
  TimeStamp expiry;
  const DWORD flags = client ? SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO
                             : SCH_USE_STRONG_CRYPTO;
  ServerRefusals refusals;
  TLS_PARAMETERS parameters{};
  parameters.grbitDisabledProtocols = SP_PROT_SSL2 | SP_PROT_SSL3 | SP_PROT_TLS1_0 | SP_PROT_TLS1_1;
  if (!client) {
    parameters.cDisabledCrypto = static_cast<DWORD>(std::size(refusals.settings));
    parameters.pDisabledCrypto = refusals.settings;
  }
  SCH_CREDENTIALS modern{};
  modern.dwVersion = SCH_CREDENTIALS_VERSION;
  modern.dwFlags = flags;
  modern.cTlsParameters = 1;
  modern.pTlsParameters = &parameters;
  if (certificate) {
    modern.cCreds = 1;
    modern.paCred = &certificate;
  }
  char package[] = UNISP_NAME_A;
  const unsigned long use = client ? SECPKG_CRED_OUTBOUND : SECPKG_CRED_INBOUND;
  SECURITY_STATUS status =
      AcquireCredentialsHandleA(nullptr, package, use, nullptr, &modern, nullptr, nullptr, &handle, &expiry);
  if (status == SEC_E_OK) return status;
  if (parameters.cDisabledCrypto != 0) {
    // A system that knows SCH_CREDENTIALS but not the refusals keeps TLS 1.3 at least.
    parameters.cDisabledCrypto = 0;
    parameters.pDisabledCrypto = nullptr;
    status = AcquireCredentialsHandleA(nullptr, package, use, nullptr, &modern, nullptr, nullptr, &handle, &expiry);
    if (status == SEC_E_OK) return status;
  }
  SCHANNEL_CRED older{};
  older.dwVersion = SCHANNEL_CRED_VERSION;
  older.dwFlags = flags;
  older.grbitEnabledProtocols = client ? SP_PROT_TLS1_2_CLIENT : SP_PROT_TLS1_2_SERVER;
  if (certificate) {
    older.cCreds = 1;
    older.paCred = &certificate;
  }
  return AcquireCredentialsHandleA(nullptr, package, use, nullptr, &older, nullptr, nullptr, &handle, &expiry);
}

class SchannelStream final : public ByteStream {
 public:
  SchannelStream(ByteStream& transport, bool client) : transport_(transport), client_(client) {}
  ~SchannelStream() override {
    if (haveContext_) DeleteSecurityContext(&context_);
    if (haveCredentials_) FreeCredentialsHandle(&credentials_);
  }

  // The handshake; false with `outcome` filled on a failure.
  bool handshake(const std::string& target, PCCERT_CONTEXT certificate, TlsOutcome& outcome);
  const CtxtHandle& context() const { return context_; }

  long receive(char* buffer, std::size_t capacity) override;
  bool sendAll(std::string_view bytes) override;
  void wake() override { transport_.wake(); }
  const platform::Socket* socketBeneath() const override { return transport_.socketBeneath(); }
  // An incomplete record left over waits for the socket like any other.
  bool holdsInput() const override { return !plain_.empty() || !encrypted_.empty() || transport_.holdsInput(); }
  void close() override;
  std::optional<platform::IpAddress> peerAddress() const override { return transport_.peerAddress(); }

 private:
  SECURITY_STATUS step(SecBufferDesc* input, SecBufferDesc* output, const std::string& target);
  bool sendToken(SecBuffer& token);
  bool receiveMore();
  // A post-handshake message (TLS 1.3 tickets, a key update, a renegotiation) in the bytes
  // left over: the context takes them, its answer goes out.
  bool continueHandshake(const std::string& target);
  bool decryptOne();
  // What a failed handshake was: kHandshake for a client; for a server, what its client sent.
  TlsFailure failureOf(SECURITY_STATUS status) const;

  ByteStream& transport_;
  bool client_;
  CredHandle credentials_{};
  CtxtHandle context_{};
  bool haveCredentials_ = false;
  bool haveContext_ = false;
  SecPkgContext_StreamSizes sizes_{};
  std::vector<char> encrypted_;  // received, not yet decrypted (an incomplete record, or more)
  std::string plain_;            // decrypted, not yet handed out
  bool ended_ = false;           // close_notify, or the peer closed
  bool failed_ = false;
  bool closed_ = false;
  bool timedOut_ = false;  // a receive ran out of time
  int firstByte_ = -1;     // the first byte the peer sent
  std::string target_;
};

TlsFailure SchannelStream::failureOf(SECURITY_STATUS status) const {
  if (client_) return TlsFailure::kHandshake;
  if (ClientSpokePlainText(firstByte_)) return TlsFailure::kPlainText;
  switch (status) {
    case SEC_E_CERT_UNKNOWN:
    case SEC_E_CERT_EXPIRED:
    case SEC_E_UNTRUSTED_ROOT: return TlsFailure::kPeerRefusedCertificate;
    case SEC_E_ALGORITHM_MISMATCH: return TlsFailure::kNoCommonSuite;
    default: return timedOut_ ? TlsFailure::kTimedOut : TlsFailure::kHandshake;
  }
}

SECURITY_STATUS SchannelStream::step(SecBufferDesc* input, SecBufferDesc* output, const std::string& target) {
  ULONG attributes = 0;
  TimeStamp expiry;
  if (client_) {
    const ULONG flags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                        ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR |
                        ISC_REQ_MANUAL_CRED_VALIDATION;
    // The target name is what Schannel sends as SNI; an address gets none.
    SEC_CHAR* name = target.empty() ? nullptr : const_cast<SEC_CHAR*>(target.c_str());
    const SECURITY_STATUS status =
        InitializeSecurityContextA(&credentials_, haveContext_ ? &context_ : nullptr, name, flags, 0, 0, input, 0,
                                   haveContext_ ? nullptr : &context_, output, &attributes, &expiry);
    if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED || status == SEC_I_INCOMPLETE_CREDENTIALS ||
        status == SEC_E_INCOMPLETE_MESSAGE) {
      haveContext_ = true;
    }
    return status;
  }
  const ULONG flags = ASC_REQ_SEQUENCE_DETECT | ASC_REQ_REPLAY_DETECT | ASC_REQ_CONFIDENTIALITY |
                      ASC_REQ_ALLOCATE_MEMORY | ASC_REQ_STREAM | ASC_REQ_EXTENDED_ERROR;
  const SECURITY_STATUS status = AcceptSecurityContext(&credentials_, haveContext_ ? &context_ : nullptr, input, flags,
                                                       0, haveContext_ ? nullptr : &context_, output, &attributes,
                                                       &expiry);
  if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED) haveContext_ = true;
  return status;
}

bool SchannelStream::sendToken(SecBuffer& token) {
  if (token.pvBuffer == nullptr) return true;
  const bool sent = token.cbBuffer == 0 ||
                    transport_.sendAll(std::string_view(static_cast<const char*>(token.pvBuffer), token.cbBuffer));
  FreeContextBuffer(token.pvBuffer);
  token.pvBuffer = nullptr;
  return sent;
}

bool SchannelStream::receiveMore() {
  char chunk[kReceiveChunk];
  const long n = transport_.receive(chunk, sizeof chunk);
  if (n <= 0) {
    ended_ = ended_ || n == 0;
    failed_ = failed_ || n < 0;
    timedOut_ = n < 0 && platform::LastSocketError() == platform::kTimedOutError;
    return false;
  }
  if (firstByte_ < 0) firstByte_ = static_cast<unsigned char>(chunk[0]);
  encrypted_.insert(encrypted_.end(), chunk, chunk + n);
  return true;
}

bool SchannelStream::handshake(const std::string& target, PCCERT_CONTEXT certificate, TlsOutcome& outcome) {
  target_ = target;
  const SECURITY_STATUS acquired = AcquireCredentials(client_, certificate, credentials_);
  if (acquired != SEC_E_OK) {
    outcome.failure = TlsFailure::kSettings;
    outcome.reason = "AcquireCredentialsHandle: " + SystemMessage(static_cast<DWORD>(acquired));
    return false;
  }
  haveCredentials_ = true;
  bool needInput = !client_;  // a server waits for the client's hello; a client speaks first
  for (int round = 0; round < 64; ++round) {
    if (needInput && !receiveMore()) {
      outcome.failure = failureOf(SEC_E_OK);
      outcome.reason = ended_ ? "the peer closed the connection during the handshake" : "no answer during the handshake";
      return false;
    }
    SecBuffer in[2] = {{static_cast<unsigned long>(encrypted_.size()), SECBUFFER_TOKEN, encrypted_.data()},
                       {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inDesc{SECBUFFER_VERSION, 2, in};
    SecBuffer out[2] = {{0, SECBUFFER_TOKEN, nullptr}, {0, SECBUFFER_ALERT, nullptr}};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 2, out};
    const bool first = client_ && !haveContext_;
    const SECURITY_STATUS status = step(first ? nullptr : &inDesc, &outDesc, target);
    if (status == SEC_E_INCOMPLETE_MESSAGE) {  // a record not yet whole: more bytes first
      needInput = true;
      continue;
    }
    const bool sent = sendToken(out[0]);  // also the alert that tells the peer why we stop
    if (out[1].pvBuffer) FreeContextBuffer(out[1].pvBuffer);
    if (!first) {
      // What the call did not take belongs to the next record (SECBUFFER_EXTRA), the rest is done.
      if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer > 0 && in[1].cbBuffer <= encrypted_.size()) {
        encrypted_.erase(encrypted_.begin(), encrypted_.end() - in[1].cbBuffer);
      } else {
        encrypted_.clear();
      }
    }
    if (!sent) {
      outcome.failure = TlsFailure::kHandshake;
      outcome.reason = "the connection failed during the handshake";
      return false;
    }
    if (status == SEC_E_OK) {
      QueryContextAttributesA(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_);
      SecPkgContext_ConnectionInfo info{};
      if (QueryContextAttributesA(&context_, SECPKG_ATTR_CONNECTION_INFO, &info) == SEC_E_OK) {
        const DWORD p = info.dwProtocol;
        outcome.protocol = (p & SP_PROT_TLS1_3) ? "TLSv1.3" : (p & SP_PROT_TLS1_2) ? "TLSv1.2" : "TLS (older)";
        outcome.cipher = CipherName(info.aiCipher, info.dwCipherStrength);
      }
      return true;
    }
    if (status == SEC_I_CONTINUE_NEEDED || status == SEC_I_INCOMPLETE_CREDENTIALS) {
      needInput = encrypted_.empty();
      continue;
    }
    outcome.failure = failureOf(status);
    outcome.reason = SystemMessage(static_cast<DWORD>(status));
    return false;
  }
  outcome.failure = TlsFailure::kHandshake;
  outcome.reason = "the handshake does not end";
  return false;
}

bool SchannelStream::continueHandshake(const std::string& target) {
  for (int round = 0; round < 16; ++round) {
    SecBuffer in[2] = {{static_cast<unsigned long>(encrypted_.size()), SECBUFFER_TOKEN, encrypted_.data()},
                       {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inDesc{SECBUFFER_VERSION, 2, in};
    SecBuffer out[2] = {{0, SECBUFFER_TOKEN, nullptr}, {0, SECBUFFER_ALERT, nullptr}};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 2, out};
    const SECURITY_STATUS status = step(&inDesc, &outDesc, target);
    if (status == SEC_E_INCOMPLETE_MESSAGE) {
      if (!receiveMore()) return false;
      continue;
    }
    const bool sent = sendToken(out[0]);
    if (out[1].pvBuffer) FreeContextBuffer(out[1].pvBuffer);
    if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer > 0 && in[1].cbBuffer <= encrypted_.size()) {
      encrypted_.erase(encrypted_.begin(), encrypted_.end() - in[1].cbBuffer);
    } else {
      encrypted_.clear();
    }
    if (!sent) return false;
    if (status == SEC_E_OK) return true;
    if (status != SEC_I_CONTINUE_NEEDED) return false;
    if (encrypted_.empty() && !receiveMore()) return false;
  }
  return false;
}

// One record out of encrypted_ into plain_; false when more bytes are needed or it ended.
bool SchannelStream::decryptOne() {
  if (encrypted_.empty()) return false;
  SecBuffer buffers[4] = {{static_cast<unsigned long>(encrypted_.size()), SECBUFFER_DATA, encrypted_.data()},
                          {0, SECBUFFER_EMPTY, nullptr},
                          {0, SECBUFFER_EMPTY, nullptr},
                          {0, SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
  const SECURITY_STATUS status = DecryptMessage(&context_, &desc, 0, nullptr);
  if (status == SEC_E_INCOMPLETE_MESSAGE) return false;
  if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE && status != SEC_I_CONTEXT_EXPIRED) {
    failed_ = true;
    return false;
  }
  std::size_t extra = 0;
  for (const SecBuffer& b : buffers) {
    if (b.BufferType == SECBUFFER_DATA && b.cbBuffer > 0) plain_.append(static_cast<const char*>(b.pvBuffer), b.cbBuffer);
    if (b.BufferType == SECBUFFER_EXTRA) extra = b.cbBuffer;
  }
  // The data lies inside encrypted_, decrypted in place: what follows the record stays.
  encrypted_.erase(encrypted_.begin(), encrypted_.end() - static_cast<std::ptrdiff_t>(std::min(extra, encrypted_.size())));
  if (status == SEC_I_CONTEXT_EXPIRED) {  // the peer's close_notify
    ended_ = true;
    return false;
  }
  if (status == SEC_I_RENEGOTIATE && !continueHandshake(target_)) {
    failed_ = true;
    return false;
  }
  return true;
}

long SchannelStream::receive(char* buffer, std::size_t capacity) {
  while (plain_.empty()) {
    if (failed_) return -1;
    if (decryptOne()) continue;
    if (failed_) return -1;
    if (ended_) return 0;
    if (!receiveMore()) return failed_ ? -1 : 0;
  }
  const std::size_t n = std::min(capacity, plain_.size());
  std::memcpy(buffer, plain_.data(), n);
  plain_.erase(0, n);
  return static_cast<long>(n);
}

// The records of one call go out in one send: one record per send would leave each to Nagle's
// algorithm and the peer's delayed acknowledgement.
bool SchannelStream::sendAll(std::string_view bytes) {
  if (failed_ || closed_) return false;
  std::vector<char> records;
  while (!bytes.empty()) {
    const std::size_t length = std::min<std::size_t>(bytes.size(), sizes_.cbMaximumMessage);
    const std::size_t at = records.size();
    records.resize(at + sizes_.cbHeader + length + sizes_.cbTrailer);
    char* record = records.data() + at;
    std::memcpy(record + sizes_.cbHeader, bytes.data(), length);
    SecBuffer buffers[4] = {{sizes_.cbHeader, SECBUFFER_STREAM_HEADER, record},
                            {static_cast<unsigned long>(length), SECBUFFER_DATA, record + sizes_.cbHeader},
                            {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, record + sizes_.cbHeader + length},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
    if (EncryptMessage(&context_, 0, &desc, 0) != SEC_E_OK) return false;
    records.resize(at + buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
    bytes.remove_prefix(length);
    if (records.size() >= 64 * 1024 || bytes.empty()) {
      if (!transport_.sendAll(std::string_view(records.data(), records.size()))) {
        failed_ = true;
        return false;
      }
      records.clear();
    }
  }
  return true;
}

// Our close_notify goes out (the peer's is not waited for), then the connection closes.
void SchannelStream::close() {
  if (!closed_ && haveContext_ && !failed_) {
    DWORD type = SCHANNEL_SHUTDOWN;
    SecBuffer token{sizeof type, SECBUFFER_TOKEN, &type};
    SecBufferDesc desc{SECBUFFER_VERSION, 1, &token};
    if (ApplyControlToken(&context_, &desc) == SEC_E_OK) {
      SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
      SecBufferDesc outDesc{SECBUFFER_VERSION, 1, out};
      const SECURITY_STATUS status = step(nullptr, &outDesc, target_);
      if (status == SEC_E_OK || status == SEC_I_CONTEXT_EXPIRED) sendToken(out[0]);
      else if (out[0].pvBuffer) FreeContextBuffer(out[0].pvBuffer);
    }
  }
  closed_ = true;
  transport_.close();
}

class SchannelServerCredentials final : public TlsServerCredentials {
 public:
  explicit SchannelServerCredentials(PCCERT_CONTEXT certificate) : certificate_(certificate) {}
  ~SchannelServerCredentials() override {
    ForgetKeyContainer(certificate_);
    CertFreeCertificateContext(certificate_);
  }

  std::unique_ptr<ByteStream> accept(ByteStream& transport, TlsOutcome& outcome) const override {
    outcome = TlsOutcome{};
    auto stream = std::make_unique<SchannelStream>(transport, false);
    if (!stream->handshake("", certificate_, outcome)) return nullptr;
    return stream;
  }

  std::string notAfter() const override { return DescribeCertificate(certificate_).notAfter; }

 private:
  PCCERT_CONTEXT certificate_;
};

}  // namespace

std::unique_ptr<ByteStream> StartTlsClient(ByteStream& transport, const TlsClientSettings& settings,
                                           TlsOutcome& outcome) {
  outcome = TlsOutcome{};
  std::vector<PCCERT_CONTEXT> extra;
  std::string error;
  if (!settings.caFile.empty() && !LoadPemCertificates(settings.caFile, extra, error)) {
    outcome.failure = TlsFailure::kSettings;
    outcome.reason = error;
    return nullptr;
  }
  auto stream = std::make_unique<SchannelStream>(transport, true);
  const bool up = stream->handshake(IsAddressLiteral(settings.host) ? "" : settings.host, nullptr, outcome);
  if (up) JudgeServerCertificate(stream->context(), settings, extra, outcome);
  for (PCCERT_CONTEXT c : extra) CertFreeCertificateContext(c);
  if (!up || outcome.failure != TlsFailure::kNone) return nullptr;
  return stream;
}

std::shared_ptr<const TlsServerCredentials> TlsServerCredentials::LoadFromFiles(const std::string& certFile,
                                                                                const std::string& keyFile,
                                                                                CredentialsError& error) {
  PCCERT_CONTEXT certificate = LoadCertificateWithKey(certFile, keyFile, error);
  if (!certificate) return nullptr;
  return std::make_shared<SchannelServerCredentials>(certificate);
}

}  // namespace quelma::net
