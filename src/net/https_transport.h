// What each platform's HTTPS transport does for HttpsPost, once the URL has passed the rules:
// the exchange itself, its failure told as a kind and the library's own words.
#pragma once

#include <string>
#include <string_view>

#include "net/https_client.h"
#include "net/https_url.h"

namespace quelma::net {

struct HttpsExchange {
  long status = 0;
  std::string body;
  HttpsFailure failure = HttpsFailure::kNone;
  std::string detail;  // the library's words (English) for the failure, for the log
};

// POSTs the form to `url` (checked already: http:// only to a loopback host) within
// `options.timeoutMs` (not 0). libcurl or WinHTTP.
HttpsExchange PostForm(const HttpsUrl& url, const std::string& formBody, const HttpsOptions& options);

// The log line for a failure (Russian, no line end): `parts` is null when the URL itself was
// refused; `detail` is added in parentheses when not empty.
std::string HttpsFailureText(HttpsFailure failure, std::string_view url, const HttpsUrl* parts,
                             const HttpsOptions& options, std::string_view detail);

}  // namespace quelma::net
