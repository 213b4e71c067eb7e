// Worker threads: the dialer, the SMTP client and the POP3 or IMAP client for one account.
#include "app/session_workers.h"

#include <thread>

#include "app/own_server.h"
#include "imap_client/imap_client_run.h"
#include "pop3_client/pop3_client_run.h"
#include "smtp_client/queue_upload.h"

namespace quelma::app {
namespace {

// The OAuth login's state after a run: "" for a password.
std::string OauthState(const net::AccessTokenSource* tokens) {
  if (!tokens) return "";
  return tokens->loginNeeded() ? "needs login" : "good";
}

}  // namespace

void ThreadWorkers::start(std::function<void()> work) {
  ++running_;
  std::thread([this, work = std::move(work)] {
    work();
    --running_;
  }).detach();
}

void ThreadWorkers::startDialer(std::shared_ptr<const config::Configuration> config) {
  start([this, config] {
    dialup::RunDialer({window_, log_, *config, access_, dialer_,
                       [](std::uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }});
  });
}

void ThreadWorkers::startSmtpClient(std::shared_ptr<const config::Configuration> config) {
  start([this, config] {
    std::unique_ptr<net::AccessTokenSource> tokens;
    if (config->SMTP_AUTH != config::OauthMechanism::kNone) {
      tokens = tokens_.sourceFor(*config, oauth::SmtpLogin(*config), [this](const std::string& text) { log_.LogSmtpClient(text); });
    }
    std::uint64_t handled = 0;
    const int code = smtp_client::RunQueueUpload({window_, log_, *config, config::defaults::kProviderTimeoutMs, tokens.get(), &handled});
    // 1: another upload was running, and this one did nothing.
    if (board && code != 1) board->uploadSession(code, handled, OauthState(tokens.get()));
  });
}

void ThreadWorkers::startPop3Client(std::shared_ptr<const config::Configuration> config, std::size_t accountIndex) {
  // CurrentPop3Account: the thread's own copy of the account, taken before it starts.
  start([this, config, accountIndex, account = config->accounts.at(accountIndex)] {
    std::unique_ptr<net::AccessTokenSource> tokens;
    if (account.auth != config::OauthMechanism::kNone) {
      tokens = tokens_.sourceFor(*config, oauth::AccountLogin(*config, accountIndex),
                                 [this, imap = account.proto == config::CollectProtocol::kImap](const std::string& text) {
                                   imap ? log_.LogImapClient(text) : log_.LogPop3Client(text);
                                 });
    }
    std::uint64_t stored = 0;
    const int code =
        account.proto == config::CollectProtocol::kImap
            ? imap_client::RunImapClient({window_, log_, *config, sorter_, programDir_, account,
                                          config::defaults::kProviderTimeoutMs, tokens.get(), nullptr, &stored})
            : pop3_client::RunPop3Client({window_, log_, *config, sorter_, programDir_, account,
                                          config::defaults::kProviderTimeoutMs, tokens.get(), nullptr, &stored});
    // 1: another download run held the account's guard, and this one did nothing.
    if (board && code != 1) board->accountSession(account.server, account.login, code, stored, OauthState(tokens.get()));
  });
}

void ThreadWorkers::startPush(const config::ConfigStore& store) {
  push_ = std::make_unique<imap_client::PushWatchers>(imap_client::PushContext{
      window_, log_, store, sorter_, programDir_,
      [this](const config::Configuration& config, std::size_t index) {
        return tokens_.sourceFor(config, oauth::AccountLogin(config, index),
                                 [this](const std::string& text) { log_.LogImapClient(text); });
      },
      NamesOwnImapServer});
  push_->start();
}

std::map<std::pair<std::string, std::string>, bool> ThreadWorkers::pushConnections() const {
  return push_ ? push_->connections() : std::map<std::pair<std::string, std::string>, bool>{};
}

void ThreadWorkers::stopPush() {
  if (push_) push_->stop();
}

}  // namespace quelma::app
