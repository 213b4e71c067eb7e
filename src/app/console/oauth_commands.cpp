// First OAuth logins and provider presets from the command line. Everything the user reads
// goes to the terminal in UTF-8; no token is ever printed.
#include "app/console/oauth_commands.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <thread>

#include "config/config_file.h"
#include "config/provider_presets.h"
#include "oauth/access_tokens.h"
#include "oauth/first_login.h"
#include "platform/cp1251_utf8.h"
#include "platform/text.h"
#include "sorting/sorter_rules.h"

namespace quelma::app {
namespace {

void Say(FILE* to, const std::string& cp1251) {
  std::fprintf(to, "%s\n", platform::Cp1251ToUtf8(cp1251).c_str());
  std::fflush(to);
}

std::optional<config::Configuration> Load(const std::string& programDir) {
  sorting::SorterFile sorterFile(sorting::SorterFilePath(programDir));
  config::Configuration config = config::DefaultConfiguration(programDir);
  // A new program directory gets the default quelma.cfg, as when the program starts there.
  if (sorting::LoadConfigurationChecked(programDir, sorterFile, config).status == config::LoadStatus::kUnreadable) {
    Say(stderr, "quelma: " + config::ConfigFilePath(programDir) + " не читается");
    return std::nullopt;
  }
  return config;
}

// "account N" or "smtp": the account's index, -1 for the SMTP login, nothing for anything else.
std::optional<long> LoginIndex(const std::vector<std::string>& words, std::size_t at, const config::Configuration& config) {
  if (words.size() > at && words[at] == "smtp") return -1;
  if (words.size() <= at + 1 || words[at] != "account") return std::nullopt;
  char* end = nullptr;
  const long index = std::strtol(words[at + 1].c_str(), &end, 10);
  if (words[at + 1].empty() || *end != '\0' || index < 0 || static_cast<std::size_t>(index) >= config.accounts.size()) {
    Say(stderr, "quelma: нет счета " + words[at + 1] + " (счетов в файле: " + std::to_string(config.accounts.size()) + ")");
    return std::nullopt;
  }
  return index;
}

bool Pause(std::uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  return true;
}

int Report(const oauth::FirstLoginResult& result, const oauth::OauthLogin& login) {
  if (result.outcome == oauth::FirstLoginResult::Outcome::kDone) {
    Say(stdout, "Вход выполнен: маркер обновления для " + login.description + " сохранен.");
    return 0;
  }
  Say(stderr, "quelma: вход не выполнен: " + result.problem);
  return 1;
}

}  // namespace

namespace {

// "set PLATFORM FIELD [VALUE]": one OAUTH_<PLATFORM>_<FIELD> key of quelma.cfg; without a value
// the key goes and the platform's own value is back.
int SetPlatformField(const std::string& programDir, const std::vector<std::string>& words) {
  static constexpr const char* kFields[] = {"CLIENT_ID", "CLIENT_SECRET", "TOKEN_URL", "DEVICE_URL",
                                            "AUTHORIZE_URL", "SCOPES", "FLOW"};
  if (words.size() < 3 || words.size() > 4) return 2;
  const std::string field = platform::ToUpperAscii(words[2]);
  bool known = false;
  for (const char* f : kFields) known = known || field == f;
  std::string name = platform::ToUpperAscii(words[1]);
  const bool plainName = !name.empty() && name.size() <= 32 &&
                         name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_") == std::string::npos;
  if (!known || !plainName) {
    Say(stderr, "quelma: oauth set PLATFORM FIELD [VALUE], FIELD: client_id client_secret token_url device_url "
                "authorize_url scopes flow");
    return 2;
  }
  std::optional<config::Configuration> config = Load(programDir);
  if (!config) return 1;
  const std::string key = "OAUTH_" + name + "_" + field;
  std::string value = words.size() == 4 ? words[3] : std::string();
  for (char& ch : value) {
    if (static_cast<unsigned char>(ch) <= 32 || ch == ';') ch = ',';  // as the file keeps a list
  }
  if (value.empty()) {
    config->oauthSettings.erase(key);
  } else {
    config->oauthSettings[key] = value;
  }
  if (config::SaveConfiguration(programDir, *config) != config::SaveResult::kSaved) {
    Say(stderr, "quelma: " + config::ConfigFilePath(programDir) + " не записан");
    return 1;
  }
  return 0;
}

}  // namespace

int OauthCommand(const std::string& programDir, const std::vector<std::string>& words) {
  if (!words.empty() && words[0] == "set") return SetPlatformField(programDir, words);
  if (words.empty() || words[0] != "login") return 2;
  const std::optional<config::Configuration> config = Load(programDir);
  if (!config) return 1;
  const std::optional<long> index = LoginIndex(words, 1, *config);
  if (!index) return 2;
  const oauth::OauthLogin login =
      *index < 0 ? oauth::SmtpLogin(*config) : oauth::AccountLogin(*config, static_cast<std::size_t>(*index));
  const std::optional<oauth::OauthPlatform> platform =
      oauth::OauthPlatformOf(*config, login.platformName, login.access);
  if (!platform) {
    Say(stderr, "quelma: не известно, чей сервер авторизации выдает маркеры для " + login.description +
                    ": задайте oauth=microsoft или oauth=google (SMTP_OAUTH для SMTP)");
    return 1;
  }
  if (const std::string problem = oauth::OauthPlatformProblem(*platform); !problem.empty()) {
    Say(stderr, "quelma: " + problem);
    return 1;
  }
  const oauth::TokenEndpoint endpoint(*platform, net::HttpsOptions{config->TLS_CA_FILE, 30000});
  oauth::TokenStore store(programDir);
  if (platform->firstLogin == oauth::FirstLogin::kDevice) {
    const auto show = [](const oauth::DeviceLoginPrompt& prompt) {
      Say(stdout, "Откройте в браузере " + prompt.verificationUri + " и введите код " + prompt.userCode);
      if (!prompt.verificationUriComplete.empty()) Say(stdout, "(или сразу: " + prompt.verificationUriComplete + ")");
      Say(stdout, "Код действует " + std::to_string(prompt.expiresIn / 60) + " мин. Жду разрешения...");
    };
    return Report(oauth::RunDeviceLogin(endpoint, store, login.key, show, Pause), login);
  }
  const auto open = [](const std::string& url) {
    Say(stdout, "Откройте в браузере на этом компьютере:");
    Say(stdout, url);
    Say(stdout, "Жду ответа браузера (5 мин.)...");
  };
  return Report(oauth::RunLoopbackLogin(endpoint, store, login.key, open, 5 * 60 * 1000, Pause), login);
}

int PresetCommand(const std::string& programDir, const std::vector<std::string>& words) {
  std::optional<config::Configuration> config = Load(programDir);
  if (!config) return 1;
  const std::optional<long> index = LoginIndex(words, 0, *config);
  const std::size_t at = index && *index >= 0 ? 2 : 1;
  const config::ProviderPreset* preset = index && words.size() == at + 1 ? config::FindProviderPreset(words[at]) : nullptr;
  if (!preset) {
    std::string known;
    for (const auto& p : config::ProviderPresets()) known += " " + std::string(p.id);
    Say(stderr, "quelma: preset account N|smtp PROVIDER, где PROVIDER:" + known);
    return 2;
  }
  if (*index < 0) {
    config::ApplyPreset(*preset, *config);
  } else {
    config::ApplyPreset(*preset, config->accounts[static_cast<std::size_t>(*index)]);
  }
  if (config::SaveConfiguration(programDir, *config) != config::SaveResult::kSaved) {
    Say(stderr, "quelma: " + config::ConfigFilePath(programDir) + " не записан");
    return 1;
  }
  const std::string_view note = *index < 0 ? preset->note
                                            : config::PresetNote(*preset, config->accounts[static_cast<std::size_t>(*index)].proto);
  Say(stdout, std::string(preset->title) + ": " + std::string(note));
  if (preset->auth != config::OauthMechanism::kNone) {
    Say(stdout, "Теперь выполните вход: quelma --dir " + programDir + " oauth login " +
                    (*index < 0 ? std::string("smtp") : "account " + std::to_string(*index)));
  }
  return 0;
}

}  // namespace quelma::app
