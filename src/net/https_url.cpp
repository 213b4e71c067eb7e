// Taking an HTTPS URL apart, and the rule that plain http:// goes to this computer only.
#include "net/https_url.h"

#include <algorithm>
#include <cctype>

#include "platform/socket.h"

namespace quelma::net {
namespace {

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

bool IsHostNameCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
}

bool IsIpv6Address(const std::string& text) {
  if (text.find(':') == std::string::npos) return false;
  const auto address = platform::ParseIpAddress(text);
  return address && address->v6;
}

// ":PORT" (or nothing, for the scheme's own port) after the host.
bool ReadPort(std::string_view text, std::uint16_t& port) {
  if (text.empty()) return true;
  if (text[0] != ':' || text.size() < 2 || text.size() > 6) return false;
  unsigned value = 0;
  for (char c : text.substr(1)) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value == 0 || value > 65535) return false;
  port = static_cast<std::uint16_t>(value);
  return true;
}

// Host and port of the authority part ("host", "host:8443", "[::1]:8080"); false with the reason.
bool ReadAuthority(std::string_view authority, HttpsUrl& parts, std::string& reason) {
  if (authority.find('@') != std::string_view::npos) {
    reason = "a user name or password in the URL is not taken";
    return false;
  }
  std::string_view afterHost;
  if (!authority.empty() && authority[0] == '[') {
    const std::size_t close = authority.find(']');
    parts.host = std::string(authority.substr(1, close == std::string_view::npos ? 0 : close - 1));
    if (close == std::string_view::npos || !IsIpv6Address(parts.host)) {
      reason = "the address in brackets is not an IPv6 address";
      return false;
    }
    afterHost = authority.substr(close + 1);
  } else {
    const std::size_t colon = std::min(authority.find(':'), authority.size());
    parts.host = std::string(authority.substr(0, colon));
    afterHost = authority.substr(colon);
    if (parts.host.empty() || parts.host.size() > 253 ||
        !std::all_of(parts.host.begin(), parts.host.end(), IsHostNameCharacter)) {
      reason = "no host name, or one with characters a host name cannot have";
      return false;
    }
  }
  if (!ReadPort(afterHost, parts.port)) {
    reason = "the port is not a number from 1 to 65535";
    return false;
  }
  return true;
}

}  // namespace

std::string HttpsUrl::text() const {
  const bool defaultPort = port == (secure ? 443 : 80);
  const std::string hostPart = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  return (secure ? "https://" : "http://") + hostPart + (defaultPort ? "" : ":" + std::to_string(port)) + target;
}

bool IsLoopbackHost(std::string_view host) {
  if (Lower(host) == "localhost") return true;
  if (const auto v4 = platform::ParseDottedAddress(host)) return (v4->hostOrder >> 24) == 127;
  const std::string text(host);
  if (!IsIpv6Address(text)) return false;
  platform::IpAddress loopback{true, {}};
  loopback.bytes[15] = 1;
  return platform::ParseIpAddress(text) == loopback;
}

std::optional<HttpsUrl> ParseHttpsUrl(std::string_view url, HttpsFailure& failure, std::string& reason) {
  failure = HttpsFailure::kBadUrl;
  if (url.size() > kHttpsUrlLimit) {
    reason = "longer than " + std::to_string(kHttpsUrlLimit) + " characters";
    return std::nullopt;
  }
  if (!std::all_of(url.begin(), url.end(), [](char c) { return c > ' ' && c < 0x7F && c != '\\'; })) {
    reason = "a blank, a backslash, a control or a non-ASCII character in the URL";
    return std::nullopt;
  }
  HttpsUrl parts;
  const std::size_t schemeEnd = url.find("://");
  const std::string scheme = Lower(url.substr(0, schemeEnd == std::string_view::npos ? 0 : schemeEnd));
  if (scheme != "https" && scheme != "http") {
    reason = "not an https:// URL";
    return std::nullopt;
  }
  parts.secure = scheme == "https";
  parts.port = parts.secure ? 443 : 80;
  const std::string_view rest = url.substr(schemeEnd + 3);
  const std::size_t authorityEnd = std::min(rest.find_first_of("/?#"), rest.size());
  if (!ReadAuthority(rest.substr(0, authorityEnd), parts, reason)) return std::nullopt;
  std::string_view target = rest.substr(authorityEnd);
  target = target.substr(0, std::min(target.find('#'), target.size()));
  parts.target = (target.empty() || target[0] != '/' ? "/" : "") + std::string(target);
  if (!parts.secure && !IsLoopbackHost(parts.host)) {
    failure = HttpsFailure::kPlainNotLocal;
    reason = "plain http:// goes to this computer only";
    return std::nullopt;
  }
  failure = HttpsFailure::kNone;
  return parts;
}

}  // namespace quelma::net
