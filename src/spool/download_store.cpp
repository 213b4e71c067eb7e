// Publishing download files in the background, in step with the ledger.
#include "spool/download_store.h"

#include <chrono>
#include <utility>

#include "platform/files.h"

namespace quelma::spool {

DownloadStore::~DownloadStore() {
  for (const Outcome& outcome : publishing_) outcome.wait();
}

bool DownloadStore::failed(std::string file, std::string reason) {
  failedFile_ = std::move(file);
  reason_ = std::move(reason);
  return false;
}

bool DownloadStore::store(DownloadFile file, std::uint64_t number, const std::set<std::string>& ids,
                          std::optional<std::uint64_t> keep) {
  if (ledger_ && !ledger_->willStore(ids, number)) return failed(ledger_->path(), platform::LastFileErrorText());
  publish(std::move(file), keep);
  return true;
}

bool DownloadStore::storeMarked(DownloadFile file, std::uint64_t number, const std::map<std::string, std::string>& marked,
                                std::optional<std::uint64_t> keep) {
  if (!ledger_) {
    publish(std::move(file), keep);
  } else if (background_) {
    // A failure already known stops the download here; the file goes unpublished.
    while (!publishing_.empty() && publishing_.front().wait_for(std::chrono::seconds(0)) == std::future_status::ready) {
      collectOldest();
    }
    if (failure_) return failed(failure_->file, failure_->reason);
    publish(std::move(file), keep, [this, marked, number] { return ledger_->willStoreMarked(marked, number); });
  } else if (!ledger_->willStoreMarked(marked, number)) {
    return failed(ledger_->path(), platform::LastFileErrorText());
  } else {
    publish(std::move(file), keep);
  }
  return true;
}

void DownloadStore::collectOldest() {
  std::optional<Failure> outcome = publishing_.front().get();
  publishing_.pop_front();
  if (outcome && !failure_) failure_ = std::move(outcome);
}

void DownloadStore::publish(DownloadFile file, std::optional<std::uint64_t> keep, std::function<bool()> pend) {
  while (publishing_.size() >= kOnTheirWay) collectOldest();
  publishedPath_ = file.publishedPath();
  const bool settleHere = background_ && stored_;
  Outcome before = publishing_.empty() ? Outcome() : publishing_.back();
  publishing_.push_back(std::async(std::launch::async, [this, file = std::move(file), keep, settleHere, pend,
                                                        before]() mutable -> std::optional<Failure> {
    const std::string part = file.path();
    // The bytes go to disk at once, beside the files before it; the file is published only after them.
    std::optional<Failure> failure;
    if (!file.sync(keep)) failure = Failure{part, platform::LastFileErrorText()};  // this thread's error
    if (before.valid() && before.get()) return before.get();  // removed unpublished after a failed file
    if (failure) return failure;
    if (pend && !pend()) return Failure{ledger_->path(), platform::LastFileErrorText()};  // removed unpublished
    if (!file.publish()) return Failure{part, platform::LastFileErrorText()};
    if (settleHere) {
      if (auto settled = settle(file.publishedPath())) return settled;
    }
    ++published_;
    return std::nullopt;
  }).share());
}

// Settled before any later file's ids are pending: a settling sees no id whose file is still
// on its way, and the sorter never removes a file whose ids are only pending.
std::optional<DownloadStore::Failure> DownloadStore::settle(const std::string& publishedPath) {
  if (ledger_ && !ledger_->settle(nullptr)) return Failure{ledger_->path(), platform::LastFileErrorText()};
  stored_(publishedPath);
  return std::nullopt;
}

bool DownloadStore::wait() {
  const bool any = !publishing_.empty();
  while (!publishing_.empty()) collectOldest();
  if (!failure_ && any && stored_ && !background_) failure_ = settle(publishedPath_);
  if (!failure_) return true;
  const Failure failure = *failure_;
  failure_.reset();
  return failed(failure.file, failure.reason);
}

}  // namespace quelma::spool
