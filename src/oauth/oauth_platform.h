// The identity platforms whose OAuth 2.0 tokens the clients log in with: the endpoints, client
// id and scopes of each as the program knows them, and what an office replaces in quelma.cfg
// with "OAUTH_<PLATFORM>_<FIELD>" keys (its own registered application, or a local test server).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "config/configuration.h"

namespace quelma::oauth {

// How the first authorisation is made: the device flow (a code shown, agreed to in any
// browser), or a browser on this computer sent back to a loopback address (PKCE).
enum class FirstLogin { kDevice, kLoopback };

struct OauthPlatform {
  std::string name;          // "microsoft", "google", or an office's own
  std::string deviceUrl;     // device authorization endpoint (RFC 8628)
  std::string authorizeUrl;  // authorization endpoint, for the loopback flow
  std::string tokenUrl;
  std::string clientId;
  std::string clientSecret;  // installed applications of some platforms have one; it guards nothing
  std::string scopes;        // blank-separated
  FirstLogin firstLogin = FirstLogin::kDevice;
};

// What a login's tokens are for. Microsoft grants POP3 and IMAP by separate scopes, and a
// refresh may not ask for more than the user agreed to: a POP3 account and the SMTP server keep
// the scopes their logins were made with, an IMAP account asks for IMAP's.
enum class MailAccess { kPop3, kImap, kSmtp };

// The platform `name` with the settings' replacements (OAUTH_<NAME>_SCOPES replaces the scopes
// of every access); nothing for a name the program does not know and the settings do not
// define (no OAUTH_<NAME>_TOKEN_URL).
std::optional<OauthPlatform> OauthPlatformOf(const config::Configuration& config, std::string_view name,
                                             MailAccess access);

// The platform of a login: the one named in its settings, else the one its server belongs to
// ("outlook.office365.com" is Microsoft's, "pop.gmail.com" Google's); empty when unknown.
std::string OauthPlatformName(std::string_view named, std::string_view host);

// What is missing before the platform can be used (a client id), as a log line; empty when
// nothing is.
std::string OauthPlatformProblem(const OauthPlatform& platform);

}  // namespace quelma::oauth
