// The provider and login choices of the account and SMTP login dialogs.
#include "dialogs/provider_login.h"

#include <algorithm>

#include "platform/text.h"

namespace quelma::dialogs {

namespace {

constexpr std::size_t kPlatformName = 32;  // as much of a name as quelma.cfg keeps
constexpr std::string_view kTokenUrlSuffix = "_TOKEN_URL";
constexpr std::string_view kOauthPrefix = "OAUTH_";

template <typename Host>
int ProviderChoiceOf(std::string_view server, Host host) {
  const auto presets = config::ProviderPresets();
  for (std::size_t i = 0; i < presets.size(); ++i) {
    if (!server.empty() && platform::EqualsIgnoreAsciiCase(host(presets[i]), server)) return static_cast<int>(i) + 1;
  }
  return 0;
}

bool IsPlatformNameCharacter(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_'; }

}  // namespace

const std::vector<std::string>& ProviderChoices() {
  static const std::vector<std::string> choices = [] {
    std::vector<std::string> list{"Другой"};
    for (const config::ProviderPreset& preset : config::ProviderPresets()) list.emplace_back(preset.title);
    return list;
  }();
  return choices;
}

const config::ProviderPreset* PresetOfChoice(int choice) {
  const auto presets = config::ProviderPresets();
  if (choice < 1 || static_cast<std::size_t>(choice) > presets.size()) return nullptr;
  return &presets[static_cast<std::size_t>(choice) - 1];
}

int Pop3ProviderChoice(std::string_view server) {
  return ProviderChoiceOf(server, [](const config::ProviderPreset& p) { return p.pop3Host; });
}

int SmtpProviderChoice(std::string_view server) {
  return ProviderChoiceOf(server, [](const config::ProviderPreset& p) { return p.smtpHost; });
}

int AccountProviderChoice(std::string_view server, config::CollectProtocol proto) {
  return ProviderChoiceOf(server, [proto](const config::ProviderPreset& p) { return config::PresetHost(p, proto); });
}

std::string ProviderNote(int choice) {
  const config::ProviderPreset* preset = PresetOfChoice(choice);
  return preset ? std::string(preset->note) : std::string();
}

std::string AccountProviderNote(int choice, config::CollectProtocol proto) {
  const config::ProviderPreset* preset = PresetOfChoice(choice);
  return preset ? std::string(config::PresetNote(*preset, proto)) : std::string();
}

const std::vector<std::string>& AccountLoginChoices() {
  static const std::vector<std::string> choices = {"Пароль (USER/PASS, APOP)", "OAuth 2.0: XOAUTH2",
                                                   "OAuth 2.0: OAUTHBEARER"};
  return choices;
}

const std::vector<std::string>& SmtpLoginChoices() {
  static const std::vector<std::string> choices = {"Пароль (CRAM-MD5, PLAIN, LOGIN)", "OAuth 2.0: XOAUTH2",
                                                   "OAuth 2.0: OAUTHBEARER"};
  return choices;
}

int LoginChoiceOf(config::OauthMechanism mechanism) {
  switch (mechanism) {
    case config::OauthMechanism::kXoauth2:
      return 1;
    case config::OauthMechanism::kOauthBearer:
      return 2;
    case config::OauthMechanism::kNone:
      break;
  }
  return 0;
}

config::OauthMechanism MechanismOfLoginChoice(int choice) {
  if (choice == 1) return config::OauthMechanism::kXoauth2;
  if (choice == 2) return config::OauthMechanism::kOauthBearer;
  return config::OauthMechanism::kNone;
}

std::vector<std::string> PlatformChoices(const config::Configuration& config, std::string_view current) {
  std::vector<std::string> choices{"", "microsoft", "google"};
  const auto add = [&choices](std::string name) {
    if (std::find(choices.begin(), choices.end(), name) == choices.end()) choices.push_back(std::move(name));
  };
  for (const auto& [key, value] : config.oauthSettings) {
    const std::string_view k = key;
    if (k.size() > kOauthPrefix.size() + kTokenUrlSuffix.size() && k.starts_with(kOauthPrefix) &&
        k.ends_with(kTokenUrlSuffix)) {
      const auto name = AcceptPlatformName(k.substr(kOauthPrefix.size(), k.size() - kOauthPrefix.size() - kTokenUrlSuffix.size()));
      if (name && !name->empty()) add(*name);
    }
  }
  if (!current.empty()) add(std::string(current));
  return choices;
}

std::string UnknownPlatformText(const std::string& server) {
  return "Не известно, какой сервер авторизации выдает маркеры OAuth для " + server +
         ": выберите его в поле \"Сервер авторизации\" (или задайте его параметры OAUTH_... в quelma.cfg).";
}

std::optional<std::string> AcceptPlatformName(std::string_view field) {
  const std::size_t first = field.find_first_not_of(' ');
  if (first == std::string_view::npos) return std::string();
  field = field.substr(first, field.find_last_not_of(' ') - first + 1);
  std::string name = platform::ToLowerAscii(field.substr(0, kPlatformName));
  if (!std::all_of(name.begin(), name.end(), IsPlatformNameCharacter)) return std::nullopt;
  return name;
}

}  // namespace quelma::dialogs
