// The first authorisation of a login, which gives it its refresh token: the device flow (RFC
// 8628: a code the user enters in any browser while the program asks the platform at the
// given interval) or a browser on this computer sent back to a loopback address with an
// authorisation code (RFC 8252, with PKCE, RFC 7636). The refresh token is stored before the
// result says so.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "oauth/token_endpoint.h"
#include "oauth/token_store.h"

namespace quelma::oauth {

struct FirstLoginResult {
  enum class Outcome { kDone, kDenied, kExpired, kFailed, kCancelled };
  Outcome outcome = Outcome::kFailed;
  std::string problem;  // for the user, when not kDone
};

// What the user is shown for the device flow.
struct DeviceLoginPrompt {
  std::string verificationUri;
  std::string verificationUriComplete;  // may be empty
  std::string userCode;
  std::int64_t expiresIn = 0;  // seconds
};

// Waits `milliseconds`; false when the user gave up (the flow ends as kCancelled).
using Pause = std::function<bool(std::uint32_t milliseconds)>;

FirstLoginResult RunDeviceLogin(const TokenEndpoint& endpoint, TokenStore& store, const std::string& key,
                                const std::function<void(const DeviceLoginPrompt&)>& show, const Pause& pause);

// `open` gets the authorisation URL (a browser is started with it, or it is printed); the
// browser's return is awaited on 127.0.0.1 up to `timeoutMs`. `pause` is asked between
// waits, so the user can give up.
FirstLoginResult RunLoopbackLogin(const TokenEndpoint& endpoint, TokenStore& store, const std::string& key,
                                  const std::function<void(const std::string& url)>& open, std::uint32_t timeoutMs,
                                  const Pause& pause);

}  // namespace quelma::oauth
