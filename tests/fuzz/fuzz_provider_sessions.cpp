// Fuzz target: both provider sessions against a server that answers with whatever bytes come,
// in small pieces: the POP3 download (greeting, STAT and LIST numbers, message text) and the
// SMTP login and one transaction (multi-line replies, challenges), each logging in with the
// password or with an OAuth token (the length of the input picks which, and whether the
// account keeps mail at the provider and has a size limit, with the UIDL ledger and TOP).
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
#include "platform/files.h"
#include "pop3_client/pop3_client_session.h"
#include "smtp_client/provider_session.h"
#include "spool/uid_ledger.h"

using namespace quelma;

namespace {

class FixedTokens final : public net::AccessTokenSource {
 public:
  std::optional<std::string> accessToken(bool) override { return std::string(1500, 't'); }
  bool loginNeeded() const override { return false; }
};

config::OauthMechanism MechanismOf(std::size_t size) {
  constexpr config::OauthMechanism kChoices[] = {config::OauthMechanism::kNone, config::OauthMechanism::kXoauth2,
                                                 config::OauthMechanism::kOauthBearer};
  return kChoices[size % 3];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string dir = "/tmp/quelma-fuzz-clients-" + std::to_string(::getpid()) + "/";
  static const bool made = platform::MakeDirectory(dir) || platform::IsDirectory(dir);
  (void)made;
  const std::string input(reinterpret_cast<const char*>(data), size);
  fuzz::NullWindow window;
  fuzz::FixedClock clock;
  link::ServerControl control;
  link::ActivityLog log(window, control, clock);

  fuzz::InputStream pop3(input, 7);
  FixedTokens tokens;
  config::ProviderAccount account{"127.0.0.1", "login", "secret", 110, "*", 1, config::TlsMode::kImplicit, {},
                                  MechanismOf(size), {}};
  constexpr std::int32_t kKeeps[] = {0, 2, config::kKeepForever};
  account.keepDays = kKeeps[(size / 9) % 3];
  account.maxSizeKb = (size / 27) % 2;
  spool::UidLedger ledger(dir, "fuzz", 20000);
  ledger.load();
  pop3_client::Pop3ClientSession download(pop3, account, dir, log, window, size % 2 ? &ledger : nullptr, nullptr, &tokens);
  download.onTooLarge([](const sorting::LeftAtProvider& message) { return !message.header.empty(); });
  download.run();
  for (const auto& name : platform::ListDirectory(dir, "*")) platform::RemoveFile(dir + name);

  fuzz::InputStream smtp(input, 7);
  config::Configuration config;
  config.LocalDomain = "office.local";
  config.SMTP_USES_LOGIN = true;
  config.SMTP_LOGIN_NAME = "login";
  config.SMTP_LOGIN_PASS = "secret";
  config.SMTP_AUTH = MechanismOf(size / 3);
  smtp_client::ProviderSession upload(smtp, config, log, nullptr, &tokens);
  if (upload.logIn() == smtp_client::SmtpClientError::kNone) {
    platform::AppendToFile(dir + "queued", "MAIL FROM:<a@b>\r\nRCPT TO:<c@d>\r\nSubject: x\r\n\r\n.body\r\n", false);
    if (auto file = platform::InputFile::Open(dir + "queued")) upload.sendQueueFile(*file);
    platform::RemoveFile(dir + "queued");
  }
  return 0;
}
