// Building the OAuth SASL messages.
#include "net/sasl_oauth.h"

#include "codec/base64.h"

namespace quelma::net {
namespace {

constexpr char kSeparator = '\x01';

std::string SaslName(std::string_view login) {
  std::string escaped;
  for (char ch : login) {
    if (ch == '=') {
      escaped += "=3D";
    } else if (ch == ',') {
      escaped += "=2C";
    } else {
      escaped.push_back(ch);
    }
  }
  return escaped;
}

}  // namespace

std::string Xoauth2Response(std::string_view login, std::string_view token) {
  std::string message = "user=" + std::string(login) + kSeparator + "auth=Bearer " + std::string(token);
  message += kSeparator;
  message += kSeparator;
  return codec::Base64Encode(message);
}

std::string OauthBearerResponse(std::string_view login, std::string_view host, std::uint16_t port,
                                std::string_view token) {
  std::string message = "n,a=" + SaslName(login) + "," + kSeparator + "host=" + std::string(host) + kSeparator +
                        "port=" + std::to_string(port) + kSeparator + "auth=Bearer " + std::string(token);
  message += kSeparator;
  message += kSeparator;
  return codec::Base64Encode(message);
}

std::string OauthBearerAbort() { return codec::Base64Encode(std::string(1, kSeparator)); }

}  // namespace quelma::net
