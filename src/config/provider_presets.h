// The large providers an office is likely to use, with what their POP3, IMAP and SMTP servers
// want: host, port, TLS and how to log in (OAuth 2.0 where password logins are off, an app
// password otherwise). Choosing one fills an account (by its protocol) or the SMTP settings; the
// login stays the user's.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "config/configuration.h"

namespace quelma::config {

struct ProviderPreset {
  std::string_view id;     // for the command line: "gmail", "microsoft", "yandex", "mailru"
  std::string_view title;  // for the dialog
  std::string_view pop3Host;
  std::uint16_t pop3Port;
  TlsMode pop3Tls;
  std::string_view smtpHost;
  std::uint16_t smtpPort;
  TlsMode smtpTls;
  OauthMechanism auth;     // kNone: an app password
  std::string_view oauth;  // the identity platform for OAuth
  std::string_view note;   // what the provider needs first (an app password, a consent)
  std::string_view imapHost;  // the same mailbox over IMAP
  std::uint16_t imapPort;
  TlsMode imapTls;
  std::string_view imapNote;  // what the provider needs first for IMAP (access turned on)
};

std::span<const ProviderPreset> ProviderPresets();
const ProviderPreset* FindProviderPreset(std::string_view id);

// Server, port, TLS and login method of the preset for the account's protocol; the login,
// password, delivery and folders stay.
void ApplyPreset(const ProviderPreset& preset, ProviderAccount& account);
// The account's server for `proto` when the preset has one.
std::string_view PresetHost(const ProviderPreset& preset, CollectProtocol proto);
// What the provider needs first for an account on `proto`.
std::string_view PresetNote(const ProviderPreset& preset, CollectProtocol proto);
// The SMTP server, port, TLS and login method (SMTP_USES_LOGIN on); the login name stays.
void ApplyPreset(const ProviderPreset& preset, Configuration& config);

}  // namespace quelma::config
