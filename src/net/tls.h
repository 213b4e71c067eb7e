// TLS laid over a connected byte stream: the client side toward the provider, the server side
// for local mail programs. The handshake runs over the stream's own receive and send, so the
// socket's time-outs hold; the secure stream keeps a reference to the plain one, which must
// outlive it. Linux builds use OpenSSL, Windows builds Schannel; both only TLS 1.2 or newer.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/byte_stream.h"
#include "platform/socket.h"

namespace quelma::net {

enum class TlsFailure {
  kNone,
  kSettings,   // the trusted-certificates file, the certificate or its key cannot be used
  kHandshake,  // the peer closed, broke off or answered with something else than TLS
  kUntrusted,  // the chain leads to no trusted certificate
  kExpired,    // a certificate of the chain is not valid now (expired, or not yet valid)
  kHostName,   // the certificate names other hosts than the one connected to
  kPin,        // its SHA-256 fingerprint is not the one set
  // What a server's handshake with a local client tells apart from kHandshake:
  kPeerRefusedCertificate,  // the client does not trust our certificate (it said so in an alert)
  kPlainText,               // the client spoke plain text, not TLS
  kTimedOut,                // no handshake came from the client within the time-out
  kNoCommonSuite,           // the client offers only older protocols, or suites without forward secrecy
};

// The clients number their TLS errors in one run, in this order (a failure of a server's
// handshake counts as kHandshake): the offset of `failure` from the number of kHandshake.
inline int TlsErrorOffset(TlsFailure failure) {
  switch (failure) {
    case TlsFailure::kUntrusted: return 1;
    case TlsFailure::kExpired: return 2;
    case TlsFailure::kHostName: return 3;
    case TlsFailure::kPin: return 4;
    case TlsFailure::kSettings: return 5;
    default: return 0;
  }
}

// A certificate as the peer sent it, for the log and for check-tls.
struct CertificateInfo {
  std::string subject;             // "CN=pop.example.com, O=Example" (UTF-8)
  std::string issuer;
  std::vector<std::string> names;  // the DNS names and IP addresses it is for
  std::string notBefore;           // "2026-01-31 23:59:59 UTC"
  std::string notAfter;
  bool timeValid = true;           // valid at the time of the check
  std::string sha256;              // 64 upper-case hex digits of its DER encoding
};

struct TlsOutcome {
  TlsFailure failure = TlsFailure::kNone;
  std::string reason;                  // the library's own words (English), for the log
  std::vector<CertificateInfo> chain;  // as the server sent it, its own certificate first
  std::string protocol;                // "TLSv1.3"
  std::string cipher;
};

struct TlsClientSettings {
  std::string host;         // SNI and the name checked; a dotted address is checked as an address
  std::string caFile;       // extra trusted certificates (PEM) beside the system's; empty for none
  std::string fingerprint;  // 64 upper-case hex digits: this certificate is trusted, no other check
};

// The client handshake over `transport`. Nothing on a failure (`outcome` says why; the caller
// closes the transport). Nothing of ours is sent through the result before every check passed.
std::unique_ptr<ByteStream> StartTlsClient(ByteStream& transport, const TlsClientSettings& settings,
                                           TlsOutcome& outcome);

// How a client starts TLS: its settings, and the handshake (StartTlsClient; a test plays it).
struct TlsClient {
  TlsClientSettings settings;
  std::function<std::unique_ptr<ByteStream>(ByteStream&, const TlsClientSettings&, TlsOutcome&)> start =
      StartTlsClient;
};

// Why the local servers' certificate and key cannot be used.
enum class CredentialsProblem {
  kNone,
  kUnreadable,     // `file` cannot be read (missing, no right to it)
  kSwapped,        // the certificate file holds a private key and the key file a certificate
  kNoCertificate,  // `file` holds no certificate (PEM)
  kNoKey,          // `file` holds no private key (PEM), or only one protected by a password
  kKeyMismatch,    // the key is not the certificate's
  kKeyKind,        // a key of a kind this system cannot use (Schannel takes RSA keys only)
  kLibrary,        // the TLS library refused them otherwise
};

struct CredentialsError {
  CredentialsProblem problem = CredentialsProblem::kNone;
  std::string file;    // the file it is about
  std::string detail;  // the library's own words (English), for the end of a log line
};

// The local servers' certificate and key, loaded once and shared by their sessions.
class TlsServerCredentials {
 public:
  virtual ~TlsServerCredentials() = default;
  // Both PEM files, read and checked the same way for the servers, the settings dialog and
  // the settings check: nothing when they cannot be used, and `error` says why.
  static std::shared_ptr<const TlsServerCredentials> Load(const std::string& certFile, const std::string& keyFile,
                                                          CredentialsError& error);
  // The TLS library's part of Load, once both files have been read and look like what they
  // should be (each library has its own).
  static std::shared_ptr<const TlsServerCredentials> LoadFromFiles(const std::string& certFile,
                                                                   const std::string& keyFile, CredentialsError& error);
  // The server handshake over `transport`; nothing on a failure.
  virtual std::unique_ptr<ByteStream> accept(ByteStream& transport, TlsOutcome& outcome) const = 0;
  // When the certificate ends, as CertificateInfo says it ("2026-01-31 23:59:59 UTC"); empty
  // when the library cannot tell.
  virtual std::string notAfter() const { return {}; }
};

// Whether a client that was to start TLS sent plain text instead: its first byte is no TLS
// record type (20-24) and no SSL 2 hello (high bit set). -1: it sent nothing.
inline bool ClientSpokePlainText(int firstByte) {
  return firstByte >= 0 && firstByte < 0x80 && (firstByte < 20 || firstByte > 24);
}

// A dotted IPv4 address (or an IPv6 one) rather than a host name: checked as an address, no SNI.
inline bool IsAddressLiteral(const std::string& host) {
  return host.find(':') != std::string::npos || platform::ParseDottedAddress(host).has_value();
}

}  // namespace quelma::net
