// Host name and address matching against a certificate's names.
#include "net/certificate_names.h"

#include "platform/socket.h"
#include "platform/text.h"

namespace quelma::net {
namespace {

// "*.example.com" covers "a.example.com", not "example.com" nor "a.b.example.com"; a wildcard
// needs at least two labels after it.
bool WildcardCovers(const std::string& pattern, const std::string& host) {
  const std::string suffix = pattern.substr(1);  // ".example.com"
  if (suffix.find('.', 1) == std::string::npos) return false;
  if (host.size() <= suffix.size()) return false;
  const std::string label = host.substr(0, host.size() - suffix.size());
  return label.find('.') == std::string::npos &&
         platform::EqualsIgnoreAsciiCase(host.substr(host.size() - suffix.size()), suffix);
}

// IPv6 addresses have many spellings ("::1" is "0:0:0:0:0:0:0:1"): compared as addresses.
bool SameIpv6Address(const std::string& name, const std::string& host) {
  if (name.find(':') == std::string::npos || host.find(':') == std::string::npos) return false;
  const auto a = platform::ParseIpAddress(name);
  const auto b = platform::ParseIpAddress(host);
  return a && b && a->v6 && *a == *b;
}

}  // namespace

bool CertificateCoversHost(const std::vector<std::string>& names, const std::string& host) {
  if (host.empty()) return false;
  std::string wanted = host;
  if (wanted.back() == '.') wanted.pop_back();  // a fully qualified name with its root dot
  for (const std::string& name : names) {
    if (platform::EqualsIgnoreAsciiCase(name, wanted) || SameIpv6Address(name, wanted)) return true;
    if (name.starts_with("*.") && wanted.find(':') == std::string::npos && WildcardCovers(name, wanted)) return true;
  }
  return false;
}

}  // namespace quelma::net
