// The URL of an HTTPS exchange taken apart, and the rule on where plain http:// may go; shared
// by the platforms' transports so that the rule is written once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "net/https_client.h"

namespace quelma::net {

// The longest URL taken.
inline constexpr std::size_t kHttpsUrlLimit = 2048;

struct HttpsUrl {
  bool secure = true;         // https://
  std::string host;           // a name, a dotted address, or an IPv6 address without its brackets
  std::uint16_t port = 443;
  std::string target = "/";   // path and query, never empty; the fragment dropped
  std::string text() const;   // the URL rebuilt from these parts
};

// "localhost", 127.0.0.0/8 or ::1: the hosts plain http:// may go to.
bool IsLoopbackHost(std::string_view host);

// The parts of `url`, or nothing with `failure` (kBadUrl or kPlainNotLocal) and `reason` (English
// words, for the log). Only printable ASCII is taken; no user name or password in the URL.
std::optional<HttpsUrl> ParseHttpsUrl(std::string_view url, HttpsFailure& failure, std::string& reason);

}  // namespace quelma::net
