// The provider presets.
#include "config/provider_presets.h"

#include <array>

namespace quelma::config {
namespace {

constexpr std::array<ProviderPreset, 4> kPresets{{
    {"gmail", "Gmail", "pop.gmail.com", 995, TlsMode::kImplicit, "smtp.gmail.com", 465, TlsMode::kImplicit,
     OauthMechanism::kXoauth2, "google",
     "Вход OAuth 2.0 через браузер (или пароль приложения при двухэтапной проверке); в настройках Gmail "
     "включите доступ по POP",
     "imap.gmail.com", 993, TlsMode::kImplicit,
     "Вход OAuth 2.0 через браузер (или пароль приложения при двухэтапной проверке); в настройках Gmail "
     "включите доступ по IMAP"},
    {"microsoft", "Microsoft 365 / Outlook.com", "outlook.office365.com", 995, TlsMode::kImplicit,
     "smtp.office365.com", 587, TlsMode::kStartTls, OauthMechanism::kXoauth2, "microsoft",
     "Только OAuth 2.0: вход по коду устройства; администратор Microsoft 365 должен разрешить POP и "
     "SMTP AUTH для ящика",
     "outlook.office365.com", 993, TlsMode::kImplicit,
     "Только OAuth 2.0: вход по коду устройства; администратор Microsoft 365 должен разрешить IMAP и "
     "SMTP AUTH для ящика"},
    {"yandex", "Yandex", "pop.yandex.ru", 995, TlsMode::kImplicit, "smtp.yandex.ru", 465, TlsMode::kImplicit,
     OauthMechanism::kNone, "", "Пароль приложения (Яндекс ID: Безопасность - Пароли приложений, тип «Почта»)",
     "imap.yandex.ru", 993, TlsMode::kImplicit,
     "Пароль приложения (Яндекс ID: Безопасность - Пароли приложений, тип «Почта»); в настройках Почты "
     "(Почтовые программы) разрешите доступ по IMAP"},
    {"mailru", "Mail.ru", "pop.mail.ru", 995, TlsMode::kImplicit, "smtp.mail.ru", 465, TlsMode::kImplicit,
     OauthMechanism::kNone, "", "Пароль для внешнего приложения (Настройки - Безопасность - Пароли для внешних приложений)",
     "imap.mail.ru", 993, TlsMode::kImplicit,
     "Пароль для внешнего приложения (Настройки - Безопасность - Пароли для внешних приложений)"},
}};

}  // namespace

std::span<const ProviderPreset> ProviderPresets() { return kPresets; }

const ProviderPreset* FindProviderPreset(std::string_view id) {
  for (const ProviderPreset& preset : kPresets) {
    if (preset.id == id) return &preset;
  }
  return nullptr;
}

std::string_view PresetHost(const ProviderPreset& preset, CollectProtocol proto) {
  return proto == CollectProtocol::kImap ? preset.imapHost : preset.pop3Host;
}

std::string_view PresetNote(const ProviderPreset& preset, CollectProtocol proto) {
  return proto == CollectProtocol::kImap ? preset.imapNote : preset.note;
}

void ApplyPreset(const ProviderPreset& preset, ProviderAccount& account) {
  const bool imap = account.proto == CollectProtocol::kImap;
  account.server = std::string(PresetHost(preset, account.proto));
  account.port = imap ? preset.imapPort : preset.pop3Port;
  account.tls = imap ? preset.imapTls : preset.pop3Tls;
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
