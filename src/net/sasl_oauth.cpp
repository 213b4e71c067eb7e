// Building the OAuth SASL messages.
#include "net/sasl_oauth.h"

#include <nlohmann/json.hpp>

#include "codec/base64.h"
#include "platform/text.h"

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

std::string OauthErrorSummary(std::string_view challenge) {
  while (!challenge.empty() && challenge.front() == ' ') challenge.remove_prefix(1);
  const std::string decoded = codec::Base64Decode(platform::Cut(challenge, 4096));
  const nlohmann::json error = nlohmann::json::parse(decoded, nullptr, false);
  std::string summary;
  if (error.is_object()) {
    for (const char* field : {"status", "scope", "schemes"}) {
      const auto value = error.find(field);
      if (value == error.end() || !value->is_string()) continue;
      if (!summary.empty()) summary += ", ";
      summary += std::string(field) + " " + value->get_ref<const std::string&>();
    }
  }
  return platform::Printable(summary.empty() ? decoded : summary, 200);
}

}  // namespace quelma::net
