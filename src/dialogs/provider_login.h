// The provider and login choices of the account and SMTP login dialogs: the presets offered,
// the login method (the password, or an OAuth 2.0 mechanism) and the identity platform that
// issues an OAuth login's tokens.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/configuration.h"
#include "config/provider_presets.h"

namespace quelma::dialogs {

// "Другой", then each preset's title.
const std::vector<std::string>& ProviderChoices();
// The preset of a provider choice; nothing for "Другой" (0) and for a choice out of range.
const config::ProviderPreset* PresetOfChoice(int choice);
// The choice of the preset whose POP3 (SMTP) server `server` is; 0 when no preset's is.
int Pop3ProviderChoice(std::string_view server);
int SmtpProviderChoice(std::string_view server);
// The choice of the preset whose server for `proto` `server` is; 0 when no preset's is.
int AccountProviderChoice(std::string_view server, config::CollectProtocol proto);
// What the provider of `choice` needs first, for the dialog's note; empty for "Другой".
std::string ProviderNote(int choice);
// The same for an account collected over `proto`.
std::string AccountProviderNote(int choice, config::CollectProtocol proto);

// "Вход": the password first, then XOAUTH2 and OAUTHBEARER.
const std::vector<std::string>& AccountLoginChoices();
const std::vector<std::string>& SmtpLoginChoices();
int LoginChoiceOf(config::OauthMechanism mechanism);
config::OauthMechanism MechanismOfLoginChoice(int choice);

// The identity platforms to choose from: none, "microsoft", "google", those quelma.cfg defines
// (OAUTH_<NAME>_TOKEN_URL), and `current` when it is none of them.
std::vector<std::string> PlatformChoices(const config::Configuration& config, std::string_view current);

inline constexpr char kBadPlatformName[] =
    "Имя сервера авторизации OAuth состоит из латинских букв, цифр, знаков \"-\" и \"_\" "
    "(например, microsoft или google).";
// The message when neither the settings nor the server name tell whose platform it is.
std::string UnknownPlatformText(const std::string& server);

// A platform field as quelma.cfg keeps it (lower case, at most 32 characters), or nothing when
// it holds a character a platform name cannot have (letters, digits, '-' and '_' only).
std::optional<std::string> AcceptPlatformName(std::string_view field);

}  // namespace quelma::dialogs
