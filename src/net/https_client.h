// One HTTPS POST of a form, its JSON reply read whole: how the clients reach an OAuth 2.0
// token endpoint. libcurl on Linux, WinHTTP on Windows; both check the certificate against
// the system's trusted certificates plus an optional PEM file, like the mail connections.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quelma::net {

// The most of a reply's body that is kept; a longer one is refused as a whole.
inline constexpr std::size_t kHttpsBodyLimit = 1024 * 1024;

// Why no reply came.
enum class HttpsFailure {
  kNone,
  kBadUrl,         // not an http(s) URL we can use (the reason is in the error)
  kPlainNotLocal,  // http:// to a host other than this computer: refused, nothing was sent
  kResolve,        // the host name was not found
  kRefused,        // the host refused the connection (Linux only tells this apart from kConnect)
  kConnect,        // no connection for another reason (unreachable, reset while connecting)
  kTimeout,        // the connection or the exchange took longer than the time allowed
  kCaFile,         // the extra trusted-certificates file cannot be read or holds none
  kUntrusted,      // the certificate leads to no trusted certificate
  kExpired,        // a certificate of the chain is not valid now
  kHostName,       // the certificate is for other hosts
  kTls,            // the TLS handshake failed otherwise (an old protocol, not TLS at all)
  kTooLarge,       // the reply's body is longer than kHttpsBodyLimit
  kBroken,         // the connection broke off, or what came back is not HTTP
  kOther,          // anything else the library reports
};

struct HttpsOptions {
  std::string caFile;               // extra trusted certificates (PEM) beside the system's; empty = none
  std::uint32_t timeoutMs = 30000;  // connect + whole exchange; 0 is taken as the default
};

// Either a reply came (`status` is its HTTP status, `body` the whole body, `error` empty) or
// none did (`status` 0, `body` empty, `failure` and `error` say why).
struct HttpsReply {
  long status = 0;
  std::string body;
  HttpsFailure failure = HttpsFailure::kNone;
  std::string error;  // one Russian line for the log, without a line end
};

// POSTs `formBody` (application/x-www-form-urlencoded) to `url` with "Accept: application/json".
// https:// always; http:// only to this computer (127.0.0.0/8, ::1, "localhost"), for local
// tests and loopback endpoints: any other http:// URL is refused before any connection. No
// redirect is followed (a 3xx reply is returned as it is), no proxy is used (the mail
// connections use none either), TLS 1.2 or newer, certificate and host name checked; the
// form is sent only after the certificate was accepted.
HttpsReply HttpsPost(const std::string& url, const std::string& formBody, const HttpsOptions& options);

// application/x-www-form-urlencoded escaping of one name or value: the RFC 3986 unreserved
// characters kept, every other byte as %XX (upper-case hex).
std::string FormEscape(std::string_view value);

}  // namespace quelma::net
