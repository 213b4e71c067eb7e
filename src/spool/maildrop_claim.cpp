// The set of maildrops claimed by POP3 sessions of this process.
#include "spool/maildrop_claim.h"

#include <condition_variable>
#include <mutex>
#include <set>

namespace quelma::spool {
namespace {

std::mutex claimsMutex;
std::condition_variable claimReleased;
std::set<std::string>& Claims() {
  static std::set<std::string> claims;
  return claims;
}

}  // namespace

std::optional<MaildropClaim> MaildropClaim::Take(const std::string& path, std::chrono::milliseconds patience) {
  std::unique_lock<std::mutex> hold(claimsMutex);
  const bool free = claimReleased.wait_for(hold, patience, [&] { return Claims().count(path) == 0; });
  if (!free) return std::nullopt;
  Claims().insert(path);
  return MaildropClaim(path);
}

MaildropClaim& MaildropClaim::operator=(MaildropClaim&& other) noexcept {
  if (this != &other) {
    release();
    path_ = std::move(other.path_);
    other.path_.clear();
  }
  return *this;
}

MaildropClaim::~MaildropClaim() { release(); }

void MaildropClaim::release() {
  if (path_.empty()) return;
  {
    std::lock_guard<std::mutex> hold(claimsMutex);
    Claims().erase(path_);
  }
  path_.clear();
  claimReleased.notify_all();
}

}  // namespace quelma::spool
