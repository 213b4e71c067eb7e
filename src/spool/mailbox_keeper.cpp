// The compaction thread and the compactions at the program's start and end.
#include "spool/mailbox_keeper.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/files.h"
#include "spool/mailbox.h"
#include "spool/mailbox_index_file.h"
#include "spool/maildrop.h"

namespace quelma::spool {
namespace {

using namespace std::chrono_literals;

constexpr auto kPatience = 2s;        // for deliveries and readers, each try
constexpr int kTries = 30;            // a mailbox busy so long waits for the next expunge or the end
constexpr auto kBetweenTries = 1s;

class Keeper {
 public:
  ~Keeper() { stop(); }

  void add(std::shared_ptr<Mailbox> mailbox) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (stopped_) return;
    queue_.push_back({std::move(mailbox), 0});
    if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
    wake_.notify_all();
  }

  void wait() {
    std::unique_lock<std::mutex> hold(mutex_);
    idle_.wait(hold, [this] { return (queue_.empty() && !working_) || stopped_; });
  }

  void stop() {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      stopped_ = true;
      wake_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
  }

 private:
  struct Work {
    std::shared_ptr<Mailbox> mailbox;
    int tries = 0;
  };

  void run() {
    std::unique_lock<std::mutex> hold(mutex_);
    for (;;) {
      wake_.wait(hold, [this] { return !queue_.empty() || stopped_; });
      if (stopped_) break;
      Work work = std::move(queue_.front());
      queue_.pop_front();
      working_ = true;
      hold.unlock();
      const auto result = work.mailbox->compact(kPatience);
      hold.lock();
      working_ = false;
      if (result == Mailbox::CompactResult::kBusy && ++work.tries < kTries && !stopped_) {
        wake_.wait_for(hold, kBetweenTries, [this] { return stopped_; });
        queue_.push_back(std::move(work));
      }
      idle_.notify_all();
    }
    queue_.clear();
    idle_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable wake_, idle_;
  std::deque<Work> queue_;
  bool working_ = false;
  bool stopped_ = false;
  std::thread thread_;
};

Keeper& TheKeeper() {
  static Keeper keeper;
  return keeper;
}

}  // namespace

void CompactLater(std::shared_ptr<Mailbox> mailbox) { TheKeeper().add(std::move(mailbox)); }

void WaitForCompactions() { TheKeeper().wait(); }

void FinishCompactions() {
  TheKeeper().stop();
  for (const auto& mailbox : Mailbox::OpenWithExpunged()) mailbox->compact(kPatience);
}

void CompactLeftovers(const config::Configuration& config) {
  for (const auto& user : config.users) {
    const std::string inbox = MaildropPath(config, user.name);
    const std::string dir = UserFolderOf(inbox);
    for (const std::string& name : platform::ListDirectory(dir, ".*.index")) {
      const std::string file = name == ".INBOX.index" ? inbox : dir + name.substr(1, name.size() - 7);
      if (MailboxIndexHasExpunged(MailboxIndexPath(file))) Mailbox::Open(file);
    }
  }
}

}  // namespace quelma::spool
