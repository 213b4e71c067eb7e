// The set of maildrops claimed by POP3 sessions of this process.
#include "spool/maildrop_claim.h"

#include <mutex>
#include <set>

namespace quelma::spool {
namespace {

std::mutex claimsMutex;
std::set<std::string>& Claims() {
  static std::set<std::string> claims;
  return claims;
}

}  // namespace

std::optional<MaildropClaim> MaildropClaim::Take(const std::string& path) {
  std::lock_guard<std::mutex> hold(claimsMutex);
  if (!Claims().insert(path).second) return std::nullopt;
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
  std::lock_guard<std::mutex> hold(claimsMutex);
  Claims().erase(path_);
  path_.clear();
}

}  // namespace quelma::spool
