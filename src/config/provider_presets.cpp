// The provider presets.
#include "config/provider_presets.h"

#include <array>

namespace quelma::config {
namespace {

constexpr std::array<ProviderPreset, 4> kPresets{{
    {"gmail", "Gmail", "pop.gmail.com", 995, TlsMode::kImplicit, "smtp.gmail.com", 465, TlsMode::kImplicit,
     OauthMechanism::kXoauth2, "google",
     "Вход OAuth 2.0 через браузер (или пароль приложения при двухэтапной проверке); в настройках Gmail "
     "включите доступ по POP"},
    {"microsoft", "Microsoft 365 / Outlook.com", "outlook.office365.com", 995, TlsMode::kImplicit,
     "smtp.office365.com", 587, TlsMode::kStartTls, OauthMechanism::kXoauth2, "microsoft",
     "Только OAuth 2.0: вход по коду устройства; администратор Microsoft 365 должен разрешить POP и "
     "SMTP AUTH для ящика"},
    {"yandex", "Yandex", "pop.yandex.ru", 995, TlsMode::kImplicit, "smtp.yandex.ru", 465, TlsMode::kImplicit,
     OauthMechanism::kNone, "", "Пароль приложения (Яндекс ID: Безопасность - Пароли приложений, тип «Почта»)"},
    {"mailru", "Mail.ru", "pop.mail.ru", 995, TlsMode::kImplicit, "smtp.mail.ru", 465, TlsMode::kImplicit,
     OauthMechanism::kNone, "", "Пароль для внешнего приложения (Настройки - Безопасность - Пароли для внешних приложений)"},
}};

}  // namespace

std::span<const ProviderPreset> ProviderPresets() { return kPresets; }

const ProviderPreset* FindProviderPreset(std::string_view id) {
  for (const ProviderPreset& preset : kPresets) {
    if (preset.id == id) return &preset;
  }
  return nullptr;
}

void ApplyPreset(const ProviderPreset& preset, ProviderAccount& account) {
  account.server = std::string(preset.pop3Host);
  account.port = preset.pop3Port;
  account.tls = preset.pop3Tls;
  account.fingerprint.clear();
  account.useApop = 0;
  account.auth = preset.auth;
  account.oauth = std::string(preset.oauth);
}

void ApplyPreset(const ProviderPreset& preset, Configuration& config) {
  config.SMTPServer = std::string(preset.smtpHost);
  config.SMTPSport = preset.smtpPort;
  config.SMTP_TLS = preset.smtpTls;
  config.SMTP_TLS_FINGERPRINT.clear();
  config.SMTP_USES_LOGIN = true;
  config.SMTP_AUTH = preset.auth;
  config.SMTP_OAUTH = std::string(preset.oauth);
}

}  // namespace quelma::config
