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
};

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

// The local servers' certificate and key, loaded once and shared by their sessions.
class TlsServerCredentials {
 public:
  virtual ~TlsServerCredentials() = default;
  // Both PEM files: nothing when either cannot be read or they do not belong together; then
  // `error` says which and why.
  static std::shared_ptr<const TlsServerCredentials> Load(const std::string& certFile, const std::string& keyFile,
                                                          std::string& error);
  // The server handshake over `transport`; nothing on a failure.
  virtual std::unique_ptr<ByteStream> accept(ByteStream& transport, TlsOutcome& outcome) const = 0;
};

// A dotted IPv4 address (or an IPv6 one) rather than a host name: checked as an address, no SNI.
inline bool IsAddressLiteral(const std::string& host) {
  return host.find(':') != std::string::npos || platform::ParseDottedAddress(host).has_value();
}

}  // namespace quelma::net
