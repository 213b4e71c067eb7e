// Fuzz target: the changes of state around TLS. Both provider sessions with STLS/STARTTLS asked
// for, the input split into what the server says in clear and what it says after a handshake
// that a fake plays (or refuses); the local sessions offering STLS and STARTTLS; and the real
// TLS client (OpenSSL over our stream adapter) fed the input as a server's handshake.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "link/activity_log.h"
#include "link/server_control.h"
#include "net/byte_stream.h"
#include "net/tls.h"
#include "platform/files.h"
#include "pop3_client/pop3_client_session.h"
#include "pop3_server/pop3_session.h"
#include "smtp_client/provider_session.h"
#include "smtp_server/smtp_session.h"

using namespace quelma;

namespace {

// The plain part up to the first 0xFF byte, the rest for after the handshake; a rest that
// begins with an odd byte makes the handshake fail.
net::TlsClient FakeTls(std::string_view secure) {
  net::TlsClient tls;
  tls.settings = {"provider.test", "", ""};
  tls.start = [secure](net::ByteStream&, const net::TlsClientSettings&,
                       net::TlsOutcome& outcome) -> std::unique_ptr<net::ByteStream> {
    outcome = net::TlsOutcome{};
    if (!secure.empty() && (static_cast<unsigned char>(secure[0]) & 1)) {
      outcome.failure = net::TlsFailure::kUntrusted;
      return nullptr;
    }
    return std::make_unique<fuzz::InputStream>(secure, 5);
  };
  return tls;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string dir = "/tmp/quelma-fuzz-tls-" + std::to_string(::getpid()) + "/";
  static const bool made = platform::MakeDirectory(dir) || platform::IsDirectory(dir);
  (void)made;
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = std::min(input.find('\xff'), input.size());
  const std::string plain = input.substr(0, split);
  const std::string secure = split < input.size() ? input.substr(split + 1) : std::string();
  fuzz::NullWindow window;
  fuzz::FixedClock clock;
  link::ServerControl control;
  link::ActivityLog log(window, control, clock);

  {
    fuzz::InputStream stream(plain, 5);
    const net::TlsClient tls = FakeTls(secure);
    const config::ProviderAccount account{"127.0.0.1", "login", "secret", 110, "*", 1, config::TlsMode::kStartTls, {}, {}, {}};
    pop3_client::Pop3ClientSession download(stream, account, dir, log, window, nullptr, &tls);
    download.run();
    for (const auto& name : platform::ListDirectory(dir, "*")) platform::RemoveFile(dir + name);
  }
  {
    fuzz::InputStream stream(plain, 5);
    const net::TlsClient tls = FakeTls(secure);
    config::Configuration config;
    config.LocalDomain = "office.local";
    config.SMTP_USES_LOGIN = true;
    config.SMTP_LOGIN_NAME = "login";
    config.SMTP_LOGIN_PASS = "secret";
    smtp_client::ProviderSession upload(stream, config, log, &tls);
    if (upload.logIn() == smtp_client::SmtpClientError::kNone) upload.quit();
  }
  {
    auto config = std::make_shared<config::Configuration>();
    config->LocalDomain = "office.ru";
    config->users = {{"ivan", "secret", ""}};
    config->MailDropDir = dir;
    fuzz::NullSink sink;
    smtp_server::SmtpSessionOptions options;
    options.offerStartTls = true;
    options.mayRelay = false;
    options.client = "fuzz";
    smtp_server::SmtpSession smtp(config, log, sink, options);
    pop3_server::Pop3Session pop3(config, log, sink, {true, "fuzz", nullptr, ""});
    bool pop3Open = true;
    for (std::size_t at = 0; at < plain.size();) {
      const std::size_t end = std::min(plain.find('\n', at), plain.size() - 1) + 1;
      const std::string line = plain.substr(at, end - at);
      at = end;
      if (smtp.handleLine(line) == smtp_server::SmtpAction::kReceiveText) smtp.messageStored();
      if (pop3Open) pop3Open = pop3.handleLine(line);
    }
    platform::RemoveFile(dir + "ivan");
  }
  // Only inputs that begin as a TLS record does (a new client context reads the system's
  // trusted certificates, which is slow): the fuzzer soon learns to make such inputs.
  if (!input.empty() && input[0] == '\x16') {
    fuzz::InputStream stream(input, 5);
    net::TlsOutcome outcome;
    if (auto tls = net::StartTlsClient(stream, {"provider.test", "", ""}, outcome)) {
      char buffer[256];
      while (tls->receive(buffer, sizeof buffer) > 0) {
      }
    }
  }
  return 0;
}
