// The device flow: ask for a code, show it, poll until the user agreed, refused or the code
// expired; "slow_down" adds five seconds to the interval, as RFC 8628 asks.
#include "oauth/first_login.h"

namespace quelma::oauth {

FirstLoginResult RunDeviceLogin(const TokenEndpoint& endpoint, TokenStore& store, const std::string& key,
                                const std::function<void(const DeviceLoginPrompt&)>& show, const Pause& pause) {
  using Outcome = FirstLoginResult::Outcome;
  if (endpoint.platform().deviceUrl.empty()) {
    return {Outcome::kFailed, "у сервера авторизации \"" + endpoint.platform().name + "\" нет входа по коду устройства"};
  }
  const DeviceAuthorization device = endpoint.startDeviceLogin();
  if (!device.ok) return {Outcome::kFailed, "код устройства не получен: " + device.description};
  show({device.verificationUri, device.verificationUriComplete, device.userCode, device.expiresIn});
  std::int64_t interval = device.interval;
  for (std::int64_t waited = 0; waited < device.expiresIn; waited += interval) {
    if (!pause(static_cast<std::uint32_t>(interval * 1000))) return {Outcome::kCancelled, "вход прерван"};
    const TokenOutcome outcome = endpoint.pollDeviceLogin(device.deviceCode);
    if (outcome.kind == TokenOutcome::Kind::kToken) {
      if (outcome.refreshToken.empty()) {
        return {Outcome::kFailed, "сервер авторизации не выдал маркер обновления (нужно разрешение offline_access)"};
      }
      if (!store.save(key, outcome.refreshToken)) return {Outcome::kFailed, "не могу записать " + store.path()};
      return {Outcome::kDone, {}};
    }
    if (outcome.error == "authorization_pending") continue;
    if (outcome.error == "slow_down") {
      interval += 5;
      continue;
    }
    if (outcome.error == "access_denied") return {Outcome::kDenied, "пользователь отказал в доступе"};
    if (outcome.error == "expired_token") break;
    // A platform out of reach for a moment is asked again at the next interval.
    if (outcome.kind == TokenOutcome::Kind::kUnreachable) continue;
    return {Outcome::kFailed, outcome.description};
  }
  return {Outcome::kExpired, "срок действия кода истек, вход не выполнен"};
}

}  // namespace quelma::oauth
