// The push watchers: a manager thread that follows the settings, and a thread per account
// that keeps its connection in IDLE and collects what the server tells of.
#include "imap_client/push_watchers.h"

#include <chrono>

#include "imap_client/imap_client_session.h"
#include "imap_client/provider_connection.h"
#include "platform/text.h"
#include "sorting/size_notice.h"
#include "sorting/sort_downloaded_mail.h"

namespace quelma::imap_client {
namespace {

// An account's settings as one text: a watcher whose account changed in any way starts anew.
std::string AccountLine(const config::ProviderAccount& a) {
  std::string line = a.server + "\n" + a.login + "\n" + a.password + "\n" + std::to_string(a.port) + "\n" + a.deliverTo +
                     "\n" + std::to_string(static_cast<int>(a.tls)) + a.fingerprint + "\n" +
                     std::to_string(static_cast<int>(a.auth)) + a.oauth + "\n" + std::to_string(a.keepDays) + "\n" +
                     std::to_string(a.maxSizeKb) + "\n" + a.moveTo;
  for (const auto& folder : config::CollectedFolders(a)) line += "\n" + folder;
  return line;
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && platform::EqualsIgnoreAsciiCase(std::string_view(text).substr(text.size() - tail.size()), tail);
}

}  // namespace

std::string PushStateText(PushState state) {
  switch (state) {
    case PushState::kOn: return "Push: включен";
    case PushState::kWaiting: return "Push: нет связи";
    case PushState::kOff: break;
  }
  return "Push: выключен";
}

std::uint32_t IdleRenewalMs(const std::string& server) {
  const bool gmail = EndsWith(server, "gmail.com") || EndsWith(server, "googlemail.com");
  return (gmail ? 9u : 25u) * 60u * 1000u;
}

class PushWatchers::Watcher {
 public:
  Watcher(PushWatchers& owner, std::shared_ptr<const config::Configuration> config, std::size_t index)
      : owner_(owner), config_(std::move(config)), account_(config_->accounts.at(index)), index_(index) {
    thread_ = std::thread([this] { watch(); });
  }
  ~Watcher() {
    stop_ = true;
    pause_.notify_all();
    if (thread_.joinable()) thread_.join();
  }
  bool connected() const { return connected_; }
  const config::ProviderAccount& account() const { return account_; }

 private:
  void log(const std::string& text) { owner_.c_.log.LogImapClient(text); }
  // One connection, from its opening to the error that ends it.
  ImapClientError watchOnce(net::AccessTokenSource* tokens) {
    const PushContext& c = owner_.c_;
    ProviderConnection connection(account_, *config_, c.timeoutMs, tokens, [this](const std::string& text) {
      if (!lost_) log(text);
    });
    if (const auto e = connection.open(); e != ImapClientError::kNone) return e;
    ImapClientSession session(connection.stream(), account_, c.programDir, c.log, Today(nullptr), connection.starttls(),
                              tokens);
    session.onTooLarge([this](const sorting::LeftAtProvider& m) { return sorting::WriteSizeNotice(*config_, m); });
    if (const auto e = session.open(); e != ImapClientError::kNone) return e;
    if (!session.offers("IDLE")) {
      log("Сервер \"" + account_.server + "\" не предлагает IDLE: push для счета невозможен\r\n");
      session.logout();
      return ImapClientError::kResponse;
    }
    const std::string folder = config::CollectedFolders(account_).front();
    log(std::string(lost_ ? "Push: связь восстановлена" : "Push: жду новую почту") + " в папке \"" + folder +
        "\" сервера \"" + account_.server + "\"\r\n");
    lost_ = false;
    connected_ = true;
    owner_.show();
    pauseMs_ = c.firstPauseMs;
    bool due = true;  // mail may have come while nobody watched
    bool selected = false;
    while (!stop_) {
      if (due) {
        if (std::unique_lock<std::mutex> downloading(sorting::DownloadLock(), std::try_to_lock); downloading) {
          const auto e = session.collect(folder);
          sorting::SortDownloadedMail({*config_, c.sorter, c.log, c.programDir, nullptr, link::LogSource::kImapClient});
          if (e != ImapClientError::kNone) return e;
          due = false;
          selected = true;
        }
      }
      if (!selected) {
        // A session's run holds the download: the folder is watched meanwhile all the same.
        std::uint32_t messages = 0;
        if (const auto e = session.examine(folder, messages); e != ImapClientError::kNone) return e;
        selected = true;
      }
      bool newMail = false;
      // While a session downloads, the news waits for it: a short IDLE, then another try.
      const auto e = session.idle(due ? 5000 : IdleRenewalMs(account_.server), stop_, newMail);
      if (e != ImapClientError::kNone) return e;
      due = due || newMail;
    }
    session.logout();
    return ImapClientError::kNone;
  }

  void watch() {
    std::unique_ptr<net::AccessTokenSource> tokens;
    if (account_.auth != config::OauthMechanism::kNone && owner_.c_.tokens) tokens = owner_.c_.tokens(*config_, index_);
    pauseMs_ = owner_.c_.firstPauseMs;
    while (!stop_) {
      const ImapClientError e = watchOnce(tokens.get());
      connected_ = false;
      if (stop_) break;
      if (!lost_) {
        log("Push: связь с сервером \"" + account_.server + "\" потеряна (ошибка " + std::to_string(ErrorNumber(e)) +
            "), буду пробовать снова\r\n");
        lost_ = true;
      }
      owner_.show();
      std::unique_lock<std::mutex> hold(mutex_);
      pause_.wait_for(hold, std::chrono::milliseconds(pauseMs_), [this] { return stop_.load(); });
      pauseMs_ = std::min(pauseMs_ * 2, owner_.c_.longestPauseMs);
    }
  }

  PushWatchers& owner_;
  std::shared_ptr<const config::Configuration> config_;
  const config::ProviderAccount& account_;
  std::size_t index_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> connected_{false};
  bool lost_ = false;  // the loss was told: the next success says so, retries stay quiet
  std::uint32_t pauseMs_ = 0;
  std::mutex mutex_;
  std::condition_variable pause_;
  std::thread thread_;
};

PushWatchers::PushWatchers(PushContext context) : c_(std::move(context)) {}

PushWatchers::~PushWatchers() {
  stop();
  if (manager_.joinable()) manager_.join();
}

void PushWatchers::start() {
  stop_ = false;
  ended_ = false;
  manager_ = std::thread([this] { manage(); });
}

void PushWatchers::stop() {
  stop_ = true;
  wake_.notify_all();
}

PushState PushWatchers::state() const {
  std::lock_guard<std::mutex> hold(mutex_);
  if (watchers_.empty()) return PushState::kOff;
  for (const auto& [line, watcher] : watchers_) {
    if (!watcher->connected()) return PushState::kWaiting;
  }
  return PushState::kOn;
}

std::map<std::pair<std::string, std::string>, bool> PushWatchers::connections() const {
  std::lock_guard<std::mutex> hold(mutex_);
  std::map<std::pair<std::string, std::string>, bool> out;
  for (const auto& [line, watcher] : watchers_) out[{watcher->account().server, watcher->account().login}] = watcher->connected();
  return out;
}

void PushWatchers::show() { c_.window.setStatusText(link::kPushLabelPart, PushStateText(state())); }

void PushWatchers::manage() {
  std::shared_ptr<const config::Configuration> seen;
  while (!stop_) {
    const auto config = c_.store.current();
    if (config != seen) {
      seen = config;
      std::map<std::string, std::size_t> wanted;
      for (std::size_t i = 0; config->UseLAN && i < config->accounts.size(); ++i) {
        const auto& a = config->accounts[i];
        if (a.proto != config::CollectProtocol::kImap || !a.idle) continue;
        if (c_.ownServer && c_.ownServer(*config, a)) {
          c_.log.LogImapClient("Push: счет " + std::to_string(i) + " (" + a.server + ":" + std::to_string(a.port) +
                               ") указывает на IMAP сервер этой программы, а не провайдера: не отслеживается\r\n");
          continue;
        }
        wanted.emplace(AccountLine(a), i);
      }
      std::map<std::string, std::unique_ptr<Watcher>> ending;
      {
        std::lock_guard<std::mutex> hold(mutex_);
        for (auto it = watchers_.begin(); it != watchers_.end();) {
          if (wanted.contains(it->first)) {
            ++it;
          } else {
            ending.insert(watchers_.extract(it++));
          }
        }
      }
      ending.clear();  // joined outside the lock
      for (const auto& [line, index] : wanted) {
        std::lock_guard<std::mutex> hold(mutex_);
        if (!watchers_.contains(line)) watchers_.emplace(line, std::make_unique<Watcher>(*this, config, index));
      }
      show();
    }
    std::unique_lock<std::mutex> hold(mutex_);
    wake_.wait_for(hold, std::chrono::seconds(2), [this] { return stop_.load(); });
  }
  std::map<std::string, std::unique_ptr<Watcher>> ending;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    ending.swap(watchers_);
  }
  ending.clear();
  ended_ = true;
}

}  // namespace quelma::imap_client
