// Form bodies out, JSON replies in. Tokens never reach a description: only the platform's
// error code and its own description, made printable.
#include "oauth/token_endpoint.h"

#include <algorithm>
#include <charconv>

#include <nlohmann/json.hpp>

#include "platform/text.h"

namespace quelma::oauth {
namespace {

using nlohmann::json;

std::string Field(const std::string& name, const std::string& value) {
  return name + "=" + net::FormEscape(value);
}

std::string Text(const json& object, const char* name) {
  const auto found = object.find(name);
  if (found == object.end()) return {};
  if (found->is_string()) return found->get_ref<const std::string&>();
  return {};
}

// Some platforms send numbers as strings ("expires_in": "3599").
std::int64_t Number(const json& object, const char* name, std::int64_t fallback) {
  const auto found = object.find(name);
  if (found == object.end()) return fallback;
  if (found->is_number_integer()) return found->get<std::int64_t>();
  if (found->is_string()) {
    const std::string& text = found->get_ref<const std::string&>();
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error == std::errc() && end == text.data() + text.size()) return value;
  }
  return fallback;
}

std::string Shown(const std::string& text) { return platform::Printable(text, 300); }

std::string UnreachableText(const net::HttpsReply& reply) { return reply.error; }

std::string BadReplyText(const net::HttpsReply& reply) {
  return "ответ сервера авторизации не понят (HTTP " + std::to_string(reply.status) + ")";
}

}  // namespace

std::string TokenEndpoint::clientFields() const {
  std::string fields = Field("client_id", platform_.clientId);
  if (!platform_.clientSecret.empty()) fields += "&" + Field("client_secret", platform_.clientSecret);
  return fields;
}

TokenOutcome TokenEndpoint::requestTokens(const std::string& form) const {
  TokenOutcome outcome;
  const net::HttpsReply reply = poster_(platform_.tokenUrl, form, options_);
  if (reply.status == 0) {
    outcome.kind = TokenOutcome::Kind::kUnreachable;
    outcome.description = UnreachableText(reply);
    return outcome;
  }
  const json body = json::parse(reply.body, nullptr, false);
  if (!body.is_object()) {
    outcome.description = BadReplyText(reply);
    return outcome;
  }
  outcome.error = Shown(Text(body, "error"));
  if (!outcome.error.empty() || reply.status != 200) {
    outcome.kind = outcome.error.empty() ? TokenOutcome::Kind::kBadReply : TokenOutcome::Kind::kRefused;
    const std::string said = Shown(Text(body, "error_description"));
    outcome.description = outcome.error.empty() ? BadReplyText(reply) : outcome.error + (said.empty() ? "" : ": " + said);
    return outcome;
  }
  outcome.accessToken = Text(body, "access_token");
  outcome.refreshToken = Text(body, "refresh_token");
  outcome.expiresIn = Number(body, "expires_in", 3600);
  if (outcome.accessToken.empty()) {
    outcome.description = "в ответе сервера авторизации нет маркера доступа";
    return outcome;
  }
  outcome.kind = TokenOutcome::Kind::kToken;
  return outcome;
}

TokenOutcome TokenEndpoint::refresh(const std::string& refreshToken) const {
  return requestTokens(Field("grant_type", "refresh_token") + "&" + Field("refresh_token", refreshToken) + "&" +
                       clientFields() + "&" + Field("scope", platform_.scopes));
}

DeviceAuthorization TokenEndpoint::startDeviceLogin() const {
  DeviceAuthorization device;
  const net::HttpsReply reply =
      poster_(platform_.deviceUrl, clientFields() + "&" + Field("scope", platform_.scopes), options_);
  if (reply.status == 0) {
    device.description = UnreachableText(reply);
    return device;
  }
  const json body = json::parse(reply.body, nullptr, false);
  if (!body.is_object()) {
    device.description = BadReplyText(reply);
    return device;
  }
  device.deviceCode = Text(body, "device_code");
  device.userCode = Shown(Text(body, "user_code"));
  // Microsoft's v1 endpoints say "verification_url".
  device.verificationUri = Shown(Text(body, "verification_uri"));
  if (device.verificationUri.empty()) device.verificationUri = Shown(Text(body, "verification_url"));
  device.verificationUriComplete = Shown(Text(body, "verification_uri_complete"));
  device.expiresIn = std::clamp<std::int64_t>(Number(body, "expires_in", 900), 1, 3600);
  device.interval = std::clamp<std::int64_t>(Number(body, "interval", 5), 1, 60);
  if (reply.status != 200 || device.deviceCode.empty() || device.userCode.empty() || device.verificationUri.empty()) {
    const std::string error = Shown(Text(body, "error"));
    const std::string said = Shown(Text(body, "error_description"));
    device.description = error.empty() ? BadReplyText(reply) : error + (said.empty() ? "" : ": " + said);
    return device;
  }
  device.ok = true;
  return device;
}

TokenOutcome TokenEndpoint::pollDeviceLogin(const std::string& deviceCode) const {
  return requestTokens(Field("grant_type", "urn:ietf:params:oauth:grant-type:device_code") + "&" +
                       Field("device_code", deviceCode) + "&" + clientFields());
}

TokenOutcome TokenEndpoint::exchangeCode(const std::string& code, const std::string& verifier,
                                         const std::string& redirectUri) const {
  return requestTokens(Field("grant_type", "authorization_code") + "&" + Field("code", code) + "&" +
                       Field("code_verifier", verifier) + "&" + Field("redirect_uri", redirectUri) + "&" +
                       clientFields());
}

}  // namespace quelma::oauth
