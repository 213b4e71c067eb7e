// Opening the connection to the provider's IMAP server.
#include "imap_client/provider_connection.h"

#include "net/tls_log_text.h"

namespace quelma::imap_client {

std::int32_t Today(platform::Clock* clock) {
  return platform::DaysSinceEpoch((clock ? *clock : platform::SystemClock()).localTime());
}

ProviderConnection::ProviderConnection(const config::ProviderAccount& account, const config::Configuration& config,
                                       std::uint32_t timeoutMs, net::AccessTokenSource* tokens,
                                       std::function<void(const std::string&)> log)
    : account_(account),
      timeoutMs_(timeoutMs),
      tokens_(tokens),
      log_(std::move(log)),
      tls_{{account.server, config.TLS_CA_FILE, account.fingerprint}} {}

ImapClientError ProviderConnection::open() {
  if (account_.auth != config::OauthMechanism::kNone && account_.tls == config::TlsMode::kNone) {
    log_("Вход по OAuth 2.0 возможен только через TLS: задайте для счета tls=ssl или tls=stls\r\n");
    return ImapClientError::kAuthInClear;
  }
  if (account_.auth != config::OauthMechanism::kNone && (!tokens_ || !tokens_->accessToken(false))) {
    return tokens_ && !tokens_->loginNeeded() ? ImapClientError::kOauthToken : ImapClientError::kOauthLogin;
  }
  switch (net::ConnectToServer(account_.server, static_cast<std::uint16_t>(account_.port), timeoutMs_, plain_, log_)) {
    case net::ConnectFailure::kNone: break;
    case net::ConnectFailure::kLibrary: return ImapClientError::kSocketLibrary;
    case net::ConnectFailure::kResolve: return ImapClientError::kResolve;
    case net::ConnectFailure::kSocket: return ImapClientError::kSocket;
    case net::ConnectFailure::kSendTimeout: return ImapClientError::kSendTimeout;
    case net::ConnectFailure::kReceiveTimeout: return ImapClientError::kReceiveTimeout;
    case net::ConnectFailure::kConnect:
      log_("Не смог установить связь с IMAP сервером\r\n");
      return ImapClientError::kConnect;
  }
  if (account_.tls != config::TlsMode::kImplicit) return ImapClientError::kNone;
  net::TlsFailure failure = net::TlsFailure::kNone;
  secure_ = net::StartClientTls(tls_, plain_, log_, failure);
  return TlsError(failure);
}

void ProviderConnection::close() {
  if (secure_) secure_->close();
  secure_.reset();
  plain_.close();
}

}  // namespace quelma::imap_client
