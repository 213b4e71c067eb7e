// The known identity platforms and the settings that replace their fields.
#include "oauth/oauth_platform.h"

#include <algorithm>

#include "config/list_setting.h"
#include "platform/text.h"

namespace quelma::oauth {
namespace {

// The program has no application registered in its own name: an office registers one (or
// uses its provider's) and sets its client id, so these carry the endpoints and scopes only.
OauthPlatform Microsoft(MailAccess access) {
  const std::string base = "https://login.microsoftonline.com/common/oauth2/v2.0/";
  return {"microsoft",
          base + "devicecode",
          base + "authorize",
          base + "token",
          {},
          {},
          std::string("offline_access https://outlook.office.com/") +
              (access == MailAccess::kImap ? "IMAP" : "POP") +
              ".AccessAsUser.All https://outlook.office.com/SMTP.Send",
          FirstLogin::kDevice};
}

// Google's device flow refuses the mail scope: its first login is the loopback one.
OauthPlatform Google() {
  return {"google",       {}, "https://accounts.google.com/o/oauth2/v2/auth", "https://oauth2.googleapis.com/token",
          {},             {}, "https://mail.google.com/",                     FirstLogin::kLoopback};
}

bool EndsWithDomain(std::string_view host, std::string_view domain) {
  if (host.size() == domain.size()) return platform::EqualsIgnoreAsciiCase(host, domain);
  return host.size() > domain.size() && host[host.size() - domain.size() - 1] == '.' &&
         platform::EqualsIgnoreAsciiCase(host.substr(host.size() - domain.size()), domain);
}

}  // namespace

std::optional<OauthPlatform> OauthPlatformOf(const config::Configuration& config, std::string_view name,
                                             MailAccess access) {
  const std::string prefix = "OAUTH_" + platform::ToUpperAscii(name) + "_";
  const auto setting = [&](const char* field) -> const std::string* {
    const auto found = config.oauthSettings.find(prefix + field);
    return found == config.oauthSettings.end() ? nullptr : &found->second;
  };
  OauthPlatform platform;
  if (name == "microsoft") {
    platform = Microsoft(access);
  } else if (name == "google") {
    platform = Google();
  } else if (name.empty() || !setting("TOKEN_URL")) {
    return std::nullopt;
  } else {
    platform.name = std::string(name);
  }
  for (const auto& [field, value] : {std::pair{"DEVICE_URL", &platform.deviceUrl},
                                     {"AUTHORIZE_URL", &platform.authorizeUrl},
                                     {"TOKEN_URL", &platform.tokenUrl},
                                     {"CLIENT_ID", &platform.clientId},
                                     {"CLIENT_SECRET", &platform.clientSecret},
                                     {"SCOPES", &platform.scopes}}) {
    if (const std::string* text = setting(field)) *value = *text;
  }
  // List values keep their items comma-separated; scopes go out blank-separated.
  std::string scopes;
  for (const std::string& scope : config::ListItems(platform.scopes)) scopes += (scopes.empty() ? "" : " ") + scope;
  platform.scopes = std::move(scopes);
  if (const std::string* flow = setting("FLOW")) {
    platform.firstLogin = platform::EqualsIgnoreAsciiCase(*flow, "LOOPBACK") ? FirstLogin::kLoopback : FirstLogin::kDevice;
  }
  return platform;
}

std::string OauthPlatformName(std::string_view named, std::string_view host) {
  if (!named.empty()) return std::string(named);
  for (const char* domain : {"office365.com", "outlook.com", "office.com", "hotmail.com", "live.com"}) {
    if (EndsWithDomain(host, domain)) return "microsoft";
  }
  for (const char* domain : {"gmail.com", "googlemail.com", "google.com"}) {
    if (EndsWithDomain(host, domain)) return "google";
  }
  return {};
}

std::string OauthPlatformProblem(const OauthPlatform& platform) {
  const std::string key = "OAUTH_" + platform::ToUpperAscii(platform.name) + "_";
  if (platform.clientId.empty()) {
    return "не задан идентификатор приложения OAuth: впишите в quelma.cfg " + key +
           "CLIENT_ID (приложение, зарегистрированное для вашей организации)";
  }
  if (platform.tokenUrl.empty()) return "не задан адрес выдачи маркеров: " + key + "TOKEN_URL";
  return {};
}

}  // namespace quelma::oauth
