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
    if (stopping_) return;
    queue_.push_back({std::move(mailbox), 0, Clock::now()});
    if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
    wake_.notify_all();
  }

  // Until the queue is empty and nothing is at work: a compaction waiting to be tried again
  // stays in the queue meanwhile.
  void wait() {
    std::unique_lock<std::mutex> hold(mutex_);
    idle_.wait(hold, [this] { return (queue_.empty() && !working_) || stopping_; });
  }

  // Ends the thread; what was still to come is left (the caller compacts what it must). A
  // later add() starts it again.
  void stop() {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      stopping_ = true;
      wake_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
    std::lock_guard<std::mutex> hold(mutex_);
    queue_.clear();
    stopping_ = false;
    idle_.notify_all();
  }

 private:
  using Clock = std::chrono::steady_clock;
  struct Work {
    std::shared_ptr<Mailbox> mailbox;
    int tries = 0;
    Clock::time_point notBefore;
  };

  void run() {
    std::unique_lock<std::mutex> hold(mutex_);
    while (!stopping_) {
      if (queue_.empty()) {
        wake_.wait(hold);
        continue;
      }
      if (queue_.front().notBefore > Clock::now()) {
        wake_.wait_until(hold, queue_.front().notBefore);
        continue;
      }
      Work work = std::move(queue_.front());
      queue_.pop_front();
      working_ = true;
      hold.unlock();
      const auto result = work.mailbox->compact(kPatience);
      hold.lock();
      working_ = false;
      if (result == Mailbox::CompactResult::kBusy && ++work.tries < kTries) {
        work.notBefore = Clock::now() + kBetweenTries;
        queue_.push_back(std::move(work));
      }
      idle_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_, idle_;
  std::deque<Work> queue_;
  bool working_ = false;
  bool stopping_ = false;
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
    // An index or summary a crash left half-written beside its name: the one in place stands.
    for (const std::string& name : platform::ListDirectory(dir, ".*.tmp")) platform::RemoveFile(dir + name);
    for (const std::string& name : platform::ListDirectory(dir, ".*.index")) {
      const std::string file = name == ".INBOX.index" ? inbox : dir + name.substr(1, name.size() - 7);
      if (MailboxIndexHasExpunged(MailboxIndexPath(file))) Mailbox::Open(file);
    }
  }
}

}  // namespace quelma::spool
