// TLS through OpenSSL 3: a BIO over our byte stream, the client handshake with its checks made
// after the handshake and before any byte of ours goes through, and the server handshake.
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <ctime>

#include "net/tls.h"

namespace quelma::net {
namespace {

struct SslFree {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};
struct CtxFree {
  void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
using SslPtr = std::unique_ptr<SSL, SslFree>;
using CtxPtr = std::unique_ptr<SSL_CTX, CtxFree>;

// What the BIO reads and writes through, and whether the peer has closed its side. Records
// are gathered and go out together at a flush (the end of a handshake flight or of one
// sendAll, or before waiting for the peer): one record per send would leave each to Nagle's
// algorithm and the peer's delayed acknowledgement.
struct Transport {
  explicit Transport(ByteStream& s) : stream(s) {}
  bool flush() {
    if (out.empty()) return !failed;
    failed = failed || !stream.sendAll(out);
    out.clear();
    return !failed;
  }
  ByteStream& stream;
  std::string out;            // records not yet sent
  bool failed = false;        // a send failed
  bool ended = false;         // the peer closed, or a receive failed
  bool closedByPeer = false;  // the peer closed (not a time-out or an error)
  bool timedOut = false;      // a receive ran out of time
  int firstByte = -1;         // the first byte the peer sent, to tell plain text from TLS
};

constexpr std::size_t kGatheredBytes = 64 * 1024;

int TransportWrite(BIO* bio, const char* data, std::size_t length, std::size_t* written) {
  auto* transport = static_cast<Transport*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  transport->out.append(data, length);
  if (transport->out.size() >= kGatheredBytes && !transport->flush()) return 0;
  *written = length;
  return 1;
}

int TransportRead(BIO* bio, char* buffer, std::size_t capacity, std::size_t* received) {
  auto* transport = static_cast<Transport*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  if (!transport->flush()) return 0;  // what the peer is to answer goes out first
  const long n = transport->stream.receive(buffer, capacity);
  if (n <= 0) {
    transport->ended = true;
    transport->closedByPeer = n == 0;
    transport->timedOut = n < 0 && platform::LastSocketError() == platform::kTimedOutError;
    return 0;
  }
  if (transport->firstByte < 0) transport->firstByte = static_cast<unsigned char>(buffer[0]);
  *received = static_cast<std::size_t>(n);
  return 1;
}

long TransportControl(BIO* bio, int command, long, void*) {
  switch (command) {
    case BIO_CTRL_FLUSH: return static_cast<Transport*>(BIO_get_data(bio))->flush() ? 1 : 0;
    case BIO_CTRL_EOF: return static_cast<Transport*>(BIO_get_data(bio))->ended ? 1 : 0;
    default: return 0;
  }
}

int TransportCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

BIO* NewTransportBio(Transport& transport) {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "quelma byte stream");
    BIO_meth_set_write_ex(m, TransportWrite);
    BIO_meth_set_read_ex(m, TransportRead);
    BIO_meth_set_ctrl(m, TransportControl);
    BIO_meth_set_create(m, TransportCreate);
    return m;
  }();
  BIO* bio = BIO_new(method);
  if (bio) BIO_set_data(bio, &transport);
  return bio;
}

// The most telling error OpenSSL queued (the last), or 0.
unsigned long LastLibraryError() {
  unsigned long code = 0;
  while (const unsigned long next = ERR_get_error()) code = next;
  return code;
}

std::string ErrorText(unsigned long code, const char* otherwise) {
  if (code == 0) return otherwise;
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

std::string LibraryReason(const char* otherwise) { return ErrorText(LastLibraryError(), otherwise); }

std::string NameText(const X509_NAME* name) {
  BIO* out = BIO_new(BIO_s_mem());
  if (!out) return {};
  X509_NAME_print_ex(out, name, 0, XN_FLAG_RFC2253);  // non-ASCII bytes come escaped
  char* data = nullptr;
  const long length = BIO_get_mem_data(out, &data);
  std::string text(data, static_cast<std::size_t>(length > 0 ? length : 0));
  BIO_free(out);
  return text;
}

std::string TimeText(const ASN1_TIME* time) {
  std::tm tm{};
  if (!time || ASN1_TIME_to_tm(time, &tm) != 1) return "?";
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
  return text;
}

std::string AddressText(const ASN1_OCTET_STRING* address) {
  const unsigned char* b = ASN1_STRING_get0_data(address);
  const int length = ASN1_STRING_length(address);
  char text[64] = "?";
  if (length == 4) {
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  } else if (length == 16) {
    int at = 0;
    for (int i = 0; i < 16; i += 2) {
      at += std::snprintf(text + at, sizeof text - static_cast<std::size_t>(at), i ? ":%x" : "%x", (b[i] << 8) | b[i + 1]);
    }
  }
  return text;
}

std::vector<std::string> NamesOf(X509* cert) {
  std::vector<std::string> names;
  auto* general = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
  for (int i = 0; general && i < sk_GENERAL_NAME_num(general); ++i) {
    const GENERAL_NAME* name = sk_GENERAL_NAME_value(general, i);
    if (name->type == GEN_DNS) {
      const ASN1_IA5STRING* dns = name->d.dNSName;
      names.emplace_back(reinterpret_cast<const char*>(ASN1_STRING_get0_data(dns)),
                         static_cast<std::size_t>(ASN1_STRING_length(dns)));
    } else if (name->type == GEN_IPADD) {
      names.push_back(AddressText(name->d.iPAddress));
    }
  }
  GENERAL_NAMES_free(general);
  if (names.empty()) {  // an old certificate: its common name
    char cn[256];
    if (X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, cn, sizeof cn) > 0) names.push_back(cn);
  }
  return names;
}

CertificateInfo InfoOf(X509* cert) {
  CertificateInfo info;
  info.subject = NameText(X509_get_subject_name(cert));
  info.issuer = NameText(X509_get_issuer_name(cert));
  info.names = NamesOf(cert);
  info.notBefore = TimeText(X509_get0_notBefore(cert));
  info.notAfter = TimeText(X509_get0_notAfter(cert));
  info.timeValid = X509_cmp_current_time(X509_get0_notBefore(cert)) < 0 &&
                   X509_cmp_current_time(X509_get0_notAfter(cert)) > 0;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (X509_digest(cert, EVP_sha256(), digest, &length) == 1) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (unsigned int i = 0; i < length; ++i) {
      info.sha256.push_back(kHex[digest[i] >> 4]);
      info.sha256.push_back(kHex[digest[i] & 15]);
    }
  }
  return info;
}

// A client sees the server's own certificate first in the chain it was sent.
std::vector<CertificateInfo> ChainOf(SSL* ssl) {
  std::vector<CertificateInfo> chain;
  STACK_OF(X509)* sent = SSL_get_peer_cert_chain(ssl);
  for (int i = 0; sent && i < sk_X509_num(sent); ++i) chain.push_back(InfoOf(sk_X509_value(sent, i)));
  return chain;
}

TlsFailure FailureOfVerification(long result) {
  switch (result) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID: return TlsFailure::kExpired;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH: return TlsFailure::kHostName;
    default: return TlsFailure::kUntrusted;
  }
}

std::unique_ptr<ByteStream> Fail(TlsOutcome& outcome, TlsFailure failure, std::string reason) {
  outcome.failure = failure;
  outcome.reason = std::move(reason);
  return nullptr;
}

// Why a handshake did not come about, in the library's words (`code`) or ours.
std::string HandshakeReason(SSL* ssl, int result, const Transport& transport, unsigned long code) {
  const int error = SSL_get_error(ssl, result);
  if (code != 0) return ErrorText(code, "");
  if (transport.timedOut) return "no answer within the time-out";
  if (error == SSL_ERROR_SYSCALL || error == SSL_ERROR_ZERO_RETURN) {
    return transport.ended ? "the peer closed the connection or a receive failed" : "the connection failed";
  }
  return "handshake failed";
}

// What a local client's failed handshake was: what it sent first, then the alert it sent us
// or what OpenSSL found missing.
TlsFailure ServerHandshakeFailure(const Transport& transport, unsigned long code) {
  if (ClientSpokePlainText(transport.firstByte)) return TlsFailure::kPlainText;
  if (ERR_GET_LIB(code) == ERR_LIB_SSL) {
    switch (ERR_GET_REASON(code)) {
      case SSL_R_SSLV3_ALERT_BAD_CERTIFICATE:
      case SSL_R_SSLV3_ALERT_UNSUPPORTED_CERTIFICATE:
      case SSL_R_SSLV3_ALERT_CERTIFICATE_REVOKED:
      case SSL_R_SSLV3_ALERT_CERTIFICATE_EXPIRED:
      case SSL_R_SSLV3_ALERT_CERTIFICATE_UNKNOWN:
      case SSL_R_TLSV1_ALERT_UNKNOWN_CA: return TlsFailure::kPeerRefusedCertificate;
      case SSL_R_NO_SHARED_CIPHER:
      case SSL_R_UNSUPPORTED_PROTOCOL:
      case SSL_R_VERSION_TOO_LOW: return TlsFailure::kNoCommonSuite;
      default: break;
    }
  }
  return transport.timedOut ? TlsFailure::kTimedOut : TlsFailure::kHandshake;
}

class OpenSslStream final : public ByteStream {
 public:
  OpenSslStream(std::unique_ptr<Transport> transport, SslPtr ssl)
      : transport_(std::move(transport)), ssl_(std::move(ssl)) {}
  ~OpenSslStream() override = default;

  long receive(char* buffer, std::size_t capacity) override {
    ERR_clear_error();
    std::size_t n = 0;
    if (SSL_read_ex(ssl_.get(), buffer, capacity, &n) == 1) return static_cast<long>(n);
    const int error = SSL_get_error(ssl_.get(), 0);
    ERR_clear_error();
    if (error == SSL_ERROR_ZERO_RETURN) return 0;  // the peer's close_notify
    return transport_->closedByPeer ? 0 : -1;  // a close without close_notify ends the stream too
  }

  bool sendAll(std::string_view bytes) override {
    if (bytes.empty()) return true;
    ERR_clear_error();
    std::size_t written = 0;
    const bool sent = SSL_write_ex(ssl_.get(), bytes.data(), bytes.size(), &written) == 1 &&
                      written == bytes.size() && transport_->flush();
    if (!sent) ERR_clear_error();
    return sent;
  }

  void wake() override { transport_->stream.wake(); }
  const platform::Socket* socketBeneath() const override { return transport_->stream.socketBeneath(); }
  bool holdsInput() const override { return SSL_has_pending(ssl_.get()) == 1 || transport_->stream.holdsInput(); }

  // Our close_notify goes out (the peer's is not waited for), then the connection closes.
  void close() override {
    if (!closed_) {
      closed_ = true;
      ERR_clear_error();
      if (!transport_->ended) SSL_shutdown(ssl_.get());
      transport_->flush();
      ERR_clear_error();
    }
    transport_->stream.close();
  }

  std::optional<platform::IpAddress> peerAddress() const override { return transport_->stream.peerAddress(); }

 private:
  std::unique_ptr<Transport> transport_;
  SslPtr ssl_;
  bool closed_ = false;
};

// A handshaken SSL over `transport`: the stream, and what the handshake told.
std::unique_ptr<ByteStream> Handshake(SslPtr ssl, std::unique_ptr<Transport> transport, bool client,
                                      TlsOutcome& outcome) {
  BIO* bio = NewTransportBio(*transport);
  if (!bio) return Fail(outcome, TlsFailure::kSettings, LibraryReason("no memory"));
  SSL_set_bio(ssl.get(), bio, bio);
  const int result = client ? SSL_connect(ssl.get()) : SSL_accept(ssl.get());
  transport->flush();  // the last flight (and an alert that says why we stop)
  if (result != 1) {
    const unsigned long code = LastLibraryError();
    const TlsFailure failure = client ? TlsFailure::kHandshake : ServerHandshakeFailure(*transport, code);
    return Fail(outcome, failure, HandshakeReason(ssl.get(), result, *transport, code));
  }
  outcome.protocol = SSL_get_version(ssl.get());
  outcome.cipher = SSL_get_cipher_name(ssl.get());
  return std::make_unique<OpenSslStream>(std::move(transport), std::move(ssl));
}

// The local servers' TLS 1.2 suites: forward secrecy (ECDHE) and an AEAD cipher only, as
// current mail servers offer them. TLS 1.3 suites are all of that kind already.
constexpr char kServerTls12Suites[] = "ECDHE+AESGCM:ECDHE+CHACHA20";

CtxPtr NewContext(const SSL_METHOD* method) {
  CtxPtr ctx(SSL_CTX_new(method));
  if (ctx) {
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
    SSL_CTX_set_mode(ctx.get(), SSL_MODE_AUTO_RETRY);
    SSL_CTX_set_read_ahead(ctx.get(), 1);  // whole receives, not a header and then its record
  }
  return ctx;
}

class OpenSslServerCredentials final : public TlsServerCredentials {
 public:
  explicit OpenSslServerCredentials(CtxPtr ctx) : ctx_(std::move(ctx)) {}

  std::unique_ptr<ByteStream> accept(ByteStream& transport, TlsOutcome& outcome) const override {
    outcome = TlsOutcome{};
    ERR_clear_error();
    SslPtr ssl(SSL_new(ctx_.get()));
    if (!ssl) return Fail(outcome, TlsFailure::kSettings, LibraryReason("no memory"));
    return Handshake(std::move(ssl), std::make_unique<Transport>(transport), false, outcome);
  }

  std::string notAfter() const override {
    const X509* cert = SSL_CTX_get0_certificate(ctx_.get());
    return cert ? TimeText(X509_get0_notAfter(cert)) : std::string();
  }

 private:
  CtxPtr ctx_;
};

}  // namespace

std::unique_ptr<ByteStream> StartTlsClient(ByteStream& transport, const TlsClientSettings& settings,
                                           TlsOutcome& outcome) {
  outcome = TlsOutcome{};
  ERR_clear_error();
  CtxPtr ctx = NewContext(TLS_client_method());
  if (!ctx) return Fail(outcome, TlsFailure::kSettings, LibraryReason("no memory"));
  // The chain and the name are judged once the handshake is done, so that the log can say
  // what was wrong with the certificate; nothing of ours is sent before that.
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
  SSL_CTX_set_default_verify_paths(ctx.get());
  if (!settings.caFile.empty() && SSL_CTX_load_verify_locations(ctx.get(), settings.caFile.c_str(), nullptr) != 1) {
    return Fail(outcome, TlsFailure::kSettings, LibraryReason("the file cannot be read"));
  }
  SslPtr ssl(SSL_new(ctx.get()));
  if (!ssl) return Fail(outcome, TlsFailure::kSettings, LibraryReason("no memory"));
  X509_VERIFY_PARAM* check = SSL_get0_param(ssl.get());
  if (IsAddressLiteral(settings.host)) {
    X509_VERIFY_PARAM_set1_ip_asc(check, settings.host.c_str());
  } else {
    X509_VERIFY_PARAM_set_hostflags(check, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    X509_VERIFY_PARAM_set1_host(check, settings.host.c_str(), settings.host.size());
    SSL_set_tlsext_host_name(ssl.get(), settings.host.c_str());
  }
  SSL* raw = ssl.get();
  std::unique_ptr<ByteStream> stream = Handshake(std::move(ssl), std::make_unique<Transport>(transport), true, outcome);
  if (!stream) return nullptr;
  outcome.chain = ChainOf(raw);
  if (outcome.chain.empty()) return Fail(outcome, TlsFailure::kUntrusted, "the server sent no certificate");
  if (!settings.fingerprint.empty()) {
    if (outcome.chain.front().sha256 != settings.fingerprint) return Fail(outcome, TlsFailure::kPin, "");
    return stream;
  }
  if (const long verified = SSL_get_verify_result(raw); verified != X509_V_OK) {
    return Fail(outcome, FailureOfVerification(verified), X509_verify_cert_error_string(verified));
  }
  return stream;
}

std::shared_ptr<const TlsServerCredentials> TlsServerCredentials::LoadFromFiles(const std::string& certFile,
                                                                                const std::string& keyFile,
                                                                                CredentialsError& error) {
  ERR_clear_error();
  CtxPtr ctx = NewContext(TLS_server_method());
  if (!ctx || SSL_CTX_set_cipher_list(ctx.get(), kServerTls12Suites) != 1) {
    error = {CredentialsProblem::kLibrary, certFile, LibraryReason("no memory")};
    return nullptr;
  }
  // A key protected by a password is refused, never asked for on the terminal.
  SSL_CTX_set_default_passwd_cb(ctx.get(), [](char*, int, int, void*) { return 0; });
  if (SSL_CTX_use_certificate_chain_file(ctx.get(), certFile.c_str()) != 1) {
    error = {CredentialsProblem::kNoCertificate, certFile, LibraryReason("no certificate")};
    return nullptr;
  }
  if (SSL_CTX_use_PrivateKey_file(ctx.get(), keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    // OpenSSL compares the key with the certificate as it takes it.
    const unsigned long code = LastLibraryError();
    const bool mismatch = ERR_GET_LIB(code) == ERR_LIB_X509 && (ERR_GET_REASON(code) == X509_R_KEY_VALUES_MISMATCH ||
                                                               ERR_GET_REASON(code) == X509_R_KEY_TYPE_MISMATCH);
    error = {mismatch ? CredentialsProblem::kKeyMismatch : CredentialsProblem::kNoKey, keyFile,
             ErrorText(code, "no private key")};
    return nullptr;
  }
  if (SSL_CTX_check_private_key(ctx.get()) != 1) {
    error = {CredentialsProblem::kKeyMismatch, keyFile, LibraryReason("the key is not the certificate's")};
    return nullptr;
  }
  return std::make_shared<OpenSslServerCredentials>(std::move(ctx));
}

}  // namespace quelma::net
