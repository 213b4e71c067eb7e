#include "status/status_report.h"

#include "oauth/token_store.h"
#include "status/spool_figures.h"

namespace quelma::status {
namespace {

// A login the program has not tried since it started: "good" when a refresh token waits for
// it, "needs login" when there is none (or the file cannot be read).
std::string StoredLogin(const oauth::TokenStore& store, const std::string& key) {
  std::string token;
  return store.refreshToken(key, token) == oauth::TokenStore::Read::kFound ? "good" : "needs login";
}

}  // namespace

ProgramStatus GatherStatus(const std::string& programDir, const config::Configuration& config,
                           const std::optional<ProgramStatus>& written, bool running) {
  ProgramStatus status = written.value_or(ProgramStatus{});
  status.running = running;
  const oauth::TokenStore tokens(programDir);
  std::vector<AccountState> accounts;
  for (const config::ProviderAccount& account : config.accounts) {
    AccountState state;
    for (const AccountState& known : status.accounts) {
      if (known.server == account.server && known.login == account.login) state = known;
    }
    state.server = account.server;
    state.login = account.login;
    state.protocol = account.proto == config::CollectProtocol::kImap ? "imap" : "pop3";
    if (!running) state.push.clear();
    if (account.auth == config::OauthMechanism::kNone) {
      state.oauth.clear();
    } else if (state.oauth.empty() || !running) {
      state.oauth = StoredLogin(tokens, oauth::Pop3LoginKey(account.server, account.login));
    }
    accounts.push_back(state);
  }
  status.accounts = std::move(accounts);
  if (config.SMTP_AUTH == config::OauthMechanism::kNone) {
    status.uploadOauth.clear();
  } else if (status.uploadOauth.empty() || !running) {
    status.uploadOauth = StoredLogin(tokens, oauth::SmtpLoginKey(config.SMTPServer, config.SMTP_LOGIN_NAME));
  }
  if (!running) status.nextSession = 0;
  status.spool = ReadSpoolFigures(config);
  return status;
}

}  // namespace quelma::status
