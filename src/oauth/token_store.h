// The refresh tokens of every OAuth login, kept in "oauth.tokens" in the program directory,
// never in quelma.cfg: sealed for the Windows user running the program, a file only its owner
// can read on Linux. Each change rewrites the file atomically: a crash leaves the old tokens
// or the new ones, never a torn file.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quelma::oauth {

// The login a refresh token belongs to: "pop3 SERVER LOGIN" for an account, "smtp SERVER
// LOGIN" for the provider's SMTP server (the server in lower case).
std::string Pop3LoginKey(std::string_view server, std::string_view login);
std::string SmtpLoginKey(std::string_view server, std::string_view login);

class TokenStore {
 public:
  explicit TokenStore(std::string programDir);

  enum class Read { kFound, kMissing, kUnreadable };
  Read refreshToken(const std::string& key, std::string& token) const;
  // False when the file could not be written; the old one is then untouched.
  bool save(const std::string& key, const std::string& token);
  bool remove(const std::string& key);
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace quelma::oauth
