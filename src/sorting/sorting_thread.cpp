// The sorting thread: a queue of published files and one worker that sorts them in order.
#include "sorting/sorting_thread.h"

#include <utility>
#include <vector>

namespace quelma::sorting {

SortingThread::SortingThread(SortContext context) : context_(std::move(context)), thread_([this] { work(); }) {}

SortingThread::~SortingThread() { finish(); }

void SortingThread::add(spool::WaitingMail file) {
  {
    const std::lock_guard hold(lock_);
    waiting_.push_back(std::move(file));
  }
  changed_.notify_one();
}

SortResult SortingThread::finish() {
  {
    const std::lock_guard hold(lock_);
    finishing_ = true;
  }
  changed_.notify_one();
  if (thread_.joinable()) thread_.join();
  return result_;
}

void SortingThread::work() {
  std::unique_lock hold(lock_);
  for (;;) {
    changed_.wait(hold, [this] { return finishing_ || !waiting_.empty(); });
    if (waiting_.empty()) return;
    const std::vector<spool::WaitingMail> files(waiting_.begin(), waiting_.end());
    waiting_.clear();
    // After a file that stopped, the later ones keep their order: they wait with it.
    if (result_ == SortResult::kStopped) continue;
    hold.unlock();
    const SortResult result = SortWaitingMail(context_, files, number_);
    hold.lock();
    result_ = result;
  }
}

}  // namespace quelma::sorting
