// The locks of each maildrop, and the set of them a delivery holds.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace quelma::spool {

// The short lock of a maildrop: one append, or one index build or rewrite of the file.
std::mutex& MaildropLock(const std::string& path);

// The long lock of a maildrop: held by a delivery from its first append to its commit, and by
// the POP3 server while it builds an index or rewrites the maildrop, so that it never sees an
// unfinished delivery. Taken before the short lock. A delivery logs while it holds it, and on
// Windows a log line waits for the main thread: the main thread only ever tries it.
std::timed_mutex& MaildropDeliveryLock(const std::string& path);

// The long locks one delivery holds. Deliveries to other maildrops never wait for each other.
class DeliveryLocks {
 public:
  DeliveryLocks() = default;
  DeliveryLocks(const DeliveryLocks&) = delete;
  DeliveryLocks& operator=(const DeliveryLocks&) = delete;

  // Takes the locks of `paths` it does not hold yet. Holding none, it waits for each in path
  // order, as every delivery takes its first set. Holding some already it waits only a while
  // (two deliveries could be waiting for each other): false (nothing new taken) when another
  // still holds one then; the delivery is to be undone and begun again with all of them at
  // once.
  bool take(std::vector<std::string> paths);
  bool holds(const std::string& path) const;
  std::vector<std::string> paths() const;
  void releaseAll() { held_.clear(); }

 private:
  std::vector<std::pair<std::string, std::unique_lock<std::timed_mutex>>> held_;
};

}  // namespace quelma::spool
