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
  if (ledger_ && !ledger_->willStoreMarked(marked, number)) {
    return failed(ledger_->path(), platform::LastFileErrorText());
  }
  publish(std::move(file), keep);
  return true;
}

void DownloadStore::publish(DownloadFile file, std::optional<std::uint64_t> keep) {
  partPath_ = file.path();
  publishedPath_ = file.publishedPath();
  publishing_ = std::async(std::launch::async, [file = std::move(file), keep]() mutable -> std::optional<std::string> {
    if (file.publish(keep)) return std::nullopt;
    return platform::LastFileErrorText();  // this thread's error
  });
}

bool DownloadStore::wait() {
  if (!publishing_.valid()) return true;
  if (const auto problem = publishing_.get()) return failed(partPath_, *problem);
  // Settled before any later file's ids are pending: a settling sees no id whose file is
  // still on its way, and the sorter never removes a file whose ids are only pending.
  if (!stored_) return true;
  if (ledger_ && !ledger_->settle(nullptr)) return failed(ledger_->path(), platform::LastFileErrorText());
  stored_(publishedPath_);
  return true;
}

}  // namespace quelma::spool
