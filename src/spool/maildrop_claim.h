// A maildrop is open in one POP3 session at a time: the session claims it at login and lets it
// go when it ends, so two sessions never hand out or delete the same messages.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace quelma::spool {

class MaildropClaim {
 public:
  // The claim on the maildrop at `path`, or nothing when another session still holds it after
  // `patience` (a client that dropped its line and logs in again at once finds its old session
  // ending: it is let in once that session has let go rather than refused).
  static std::optional<MaildropClaim> Take(const std::string& path,
                                           std::chrono::milliseconds patience = std::chrono::milliseconds(0));

  MaildropClaim(MaildropClaim&& other) noexcept : path_(std::move(other.path_)) { other.path_.clear(); }
  MaildropClaim& operator=(MaildropClaim&& other) noexcept;
  MaildropClaim(const MaildropClaim&) = delete;
  MaildropClaim& operator=(const MaildropClaim&) = delete;
  ~MaildropClaim();

 private:
  explicit MaildropClaim(std::string path) : path_(std::move(path)) {}
  void release();
  std::string path_;  // empty once moved from
};

}  // namespace quelma::spool
