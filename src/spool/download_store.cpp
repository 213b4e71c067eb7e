// Publishing download files in the background, in step with the ledger.
#include "spool/download_store.h"

#include <utility>

#include "platform/files.h"

namespace quelma::spool {

DownloadStore::~DownloadStore() {
  if (publishing_.valid()) publishing_.wait();
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
    publish(std::move(file), keep, [this, marked, number] { return ledger_->willStoreMarked(marked, number); });
  } else if (!ledger_->willStoreMarked(marked, number)) {
    return failed(ledger_->path(), platform::LastFileErrorText());
  } else {
    publish(std::move(file), keep);
  }
  return true;
}

void DownloadStore::publish(DownloadFile file, std::optional<std::uint64_t> keep, std::function<bool()> pend) {
  partPath_ = file.path();
  publishedPath_ = file.publishedPath();
  const bool settleHere = background_ && stored_;
  publishing_ = std::async(std::launch::async, [this, file = std::move(file), keep, settleHere, pend]() mutable {
    std::optional<Failure> failure;
    const std::string part = file.path();
    if (pend && !pend()) {
      failure = Failure{ledger_->path(), platform::LastFileErrorText()};  // the file is removed unpublished
    } else if (!file.publish(keep)) {
      failure = Failure{part, platform::LastFileErrorText()};  // this thread's error
    } else if (settleHere) {
      failure = settle();
    }
    return failure;
  });
}

// Settled before any later file's ids are pending: a settling sees no id whose file is still
// on its way, and the sorter never removes a file whose ids are only pending.
std::optional<DownloadStore::Failure> DownloadStore::settle() {
  if (ledger_ && !ledger_->settle(nullptr)) return Failure{ledger_->path(), platform::LastFileErrorText()};
  stored_(publishedPath_);
  return std::nullopt;
}

bool DownloadStore::wait() {
  if (!publishing_.valid()) return true;
  std::optional<Failure> failure = publishing_.get();
  if (!failure && stored_ && !background_) failure = settle();
  return failure ? failed(std::move(failure->file), std::move(failure->reason)) : true;
}

}  // namespace quelma::spool
