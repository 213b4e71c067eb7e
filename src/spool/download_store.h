// Storing a download's files one behind the other: each is published (synced, renamed, the
// name synced) on a thread of its own while the next one is being received. A file's ids go
// into the ledger, pending and synced, before it is published; once it is, they are settled
// (they stand) before a later file's ids go in. Only then may the provider delete its
// messages and the sorter take it. Settled in the background, several files may be on their
// way at once: each is synced as soon as it is handed over, and published after the one before.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "spool/download_files.h"
#include "spool/uid_ledger.h"

namespace quelma::spool {

class DownloadStore {
 public:
  // Without a ledger nothing is recorded. `stored` hears of each file that is published with
  // its ids standing in the ledger: from then on the sorter may take it.
  explicit DownloadStore(UidLedger* ledger, std::function<void(const std::string& path)> stored = {})
      : ledger_(ledger), stored_(std::move(stored)) {}
  // For a caller that leaves the ledger alone while a file is on its way: storeMarked's ids go
  // into the ledger, are settled, and `stored` is told on the publishing thread, so the
  // receiving thread never waits for the ledger's writes; a ledger that cannot take the ids is
  // then reported by wait(). `stored` must be safe to call from another thread.
  void settleInBackground() { background_ = true; }
  DownloadStore(const DownloadStore&) = delete;
  DownloadStore& operator=(const DownloadStore&) = delete;
  ~DownloadStore();  // the files on their way are waited for

  void onStored(std::function<void(const std::string& path)> stored) { stored_ = std::move(stored); }

  // Starts storing download file `number`, whose first `keep` bytes hold the messages with
  // `ids`. The file handed over before must have been waited for. False, and the file
  // removed, when the ledger could not take the ids.
  bool store(DownloadFile file, std::uint64_t number, const std::set<std::string>& ids,
             std::optional<std::uint64_t> keep = std::nullopt);
  // The same for ids with their marks (an IMAP folder's UIDs with Message-ID and size). When
  // settled in the background the files handed over before need not have been waited for
  // (a few are on their way at most); false, and the file removed unpublished, once one of
  // them is known to have failed: after a failed file no later one is published.
  bool storeMarked(DownloadFile file, std::uint64_t number, const std::map<std::string, std::string>& marked,
                   std::optional<std::uint64_t> keep = std::nullopt);
  bool busy() const { return !publishing_.empty(); }
  // Waits for every file handed over; true when all are published (or none was being) and,
  // when someone hears of stored files, their ids stand in the ledger.
  bool wait();
  // How many of the files handed over are published, counted from the first in their order.
  std::size_t published() const { return published_; }

  // After a false from store() or wait(): the file that could not be written, and why.
  const std::string& failedFile() const { return failedFile_; }
  const std::string& reason() const { return reason_; }

 private:
  struct Failure {
    std::string file;
    std::string reason;
  };
  using Outcome = std::shared_future<std::optional<Failure>>;  // what failed, or nothing
  bool failed(std::string file, std::string reason);
  // Publishes on a thread of its own, after `pend` (the ids going into the ledger) when given,
  // and after the file handed over before.
  void publish(DownloadFile file, std::optional<std::uint64_t> keep, std::function<bool()> pend = {});
  std::optional<Failure> settle(const std::string& publishedPath);
  // Takes in the outcome of the oldest file on its way, waiting for it.
  void collectOldest();
  UidLedger* ledger_;
  std::function<void(const std::string& path)> stored_;
  std::deque<Outcome> publishing_;  // the files on their way, oldest first
  std::optional<Failure> failure_;  // the first that failed
  std::atomic<std::size_t> published_ = 0;
  bool background_ = false;
  std::string publishedPath_;  // of the last file handed over
  std::string failedFile_;
  std::string reason_;
  static constexpr std::size_t kOnTheirWay = 3;
};

}  // namespace quelma::spool
