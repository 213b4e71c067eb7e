// The requests an OAuth 2.0 client makes of its platform's endpoints (RFC 6749, RFC 8628,
// RFC 7636) and the replies read from their JSON: refresh, device authorization and its
// polling, the exchange of an authorisation code.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "net/https_client.h"
#include "oauth/oauth_platform.h"

namespace quelma::oauth {

// How a request reaches the endpoint: net::HttpsPost, or a test's stand-in.
using HttpsPoster = std::function<net::HttpsReply(const std::string& url, const std::string& form, const net::HttpsOptions&)>;

struct TokenOutcome {
  enum class Kind {
    kToken,        // tokens came
    kRefused,      // the endpoint answered with an OAuth error (`error`, `description`)
    kUnreachable,  // no reply came (`description` says why)
    kBadReply,     // a reply that is no token reply (`description` says what came)
  };
  Kind kind = Kind::kBadReply;
  std::string accessToken;
  std::string refreshToken;       // empty when the platform keeps the old one
  std::int64_t expiresIn = 3600;  // seconds
  std::string error;              // "invalid_grant", "authorization_pending", ...
  std::string description;        // for the log, printable, without any token
};

struct DeviceAuthorization {
  bool ok = false;
  std::string deviceCode;
  std::string userCode;
  std::string verificationUri;
  std::string verificationUriComplete;  // with the code in it, when the platform gives one
  std::int64_t expiresIn = 900;         // seconds the code is valid
  std::int64_t interval = 5;            // seconds between polls
  std::string description;              // why not, when !ok
};

class TokenEndpoint {
 public:
  TokenEndpoint(OauthPlatform platform, net::HttpsOptions options, HttpsPoster poster = net::HttpsPost)
      : platform_(std::move(platform)), options_(std::move(options)), poster_(std::move(poster)) {}

  TokenOutcome refresh(const std::string& refreshToken) const;
  DeviceAuthorization startDeviceLogin() const;
  TokenOutcome pollDeviceLogin(const std::string& deviceCode) const;
  TokenOutcome exchangeCode(const std::string& code, const std::string& verifier, const std::string& redirectUri) const;
  const OauthPlatform& platform() const { return platform_; }

 private:
  TokenOutcome requestTokens(const std::string& form) const;
  std::string clientFields() const;

  OauthPlatform platform_;
  net::HttpsOptions options_;
  HttpsPoster poster_;
};

}  // namespace quelma::oauth
