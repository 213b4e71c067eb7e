// The connection to an account's IMAP server as the run, push and the settings check open it:
// TCP, TLS from the first byte for "tls=ssl", the TLS client for STARTTLS, and the OAuth
// token had before the connection (so the server never waits for a slow identity platform).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "config/configuration.h"
#include "imap_client/imap_client_error.h"
#include "net/access_token_source.h"
#include "net/plain_stream.h"
#include "net/tls.h"
#include "platform/clock.h"

namespace quelma::imap_client {

// The guard a session's download run takes, POP3's or IMAP's: one run at a time.
inline constexpr char kDownloadGuard[] = "POP3_client_running";

// The day "keep=" counts in: days since 1970 of the local date.
std::int32_t Today(platform::Clock* clock);

class ProviderConnection {
 public:
  ProviderConnection(const config::ProviderAccount& account, const config::Configuration& config,
                     std::uint32_t timeoutMs, net::AccessTokenSource* tokens,
                     std::function<void(const std::string&)> log);
  ImapClientError open();
  net::ByteStream& stream() { return secure_ ? *secure_ : static_cast<net::ByteStream&>(plain_); }
  const net::TlsClient* starttls() const { return account_.tls == config::TlsMode::kStartTls ? &tls_ : nullptr; }
  // From another thread: ends a wait on the connection.
  void wake() { plain_.wake(); }
  void close();
  ~ProviderConnection() { close(); }

 private:
  const config::ProviderAccount& account_;
  std::uint32_t timeoutMs_;
  net::AccessTokenSource* tokens_;
  std::function<void(const std::string&)> log_;
  net::PlainStream plain_;
  net::TlsClient tls_;
  std::unique_ptr<net::ByteStream> secure_;
};

}  // namespace quelma::imap_client
