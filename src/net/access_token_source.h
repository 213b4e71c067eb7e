// Where a provider client gets the OAuth 2.0 access token it logs in with. The client knows
// nothing of identity platforms: it asks before its login, and once more after a refusal.
#pragma once

#include <optional>
#include <string>

namespace quelma::net {

class AccessTokenSource {
 public:
  virtual ~AccessTokenSource() = default;
  // A token for this login; `renew` asks for a new one because the server refused the last.
  // Nothing when none can be had: the source has logged why, and what the administrator does.
  virtual std::optional<std::string> accessToken(bool renew) = 0;
  // After no token came: whether only a new login by the administrator can help (never
  // authorised, or the authorisation revoked), as against a platform out of reach.
  virtual bool loginNeeded() const = 0;
  // After a refusal: whether a renewal could bring another token than the one refused. Not
  // when that one was fetched for this very login: asking again only rotates the refresh token.
  virtual bool renewable() const { return true; }
};

}  // namespace quelma::net
