// An access-token source played by a test: hands out the tokens it is given, one per request,
// and records whether each request asked for a renewal.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "net/access_token_source.h"

namespace quelma::testing {

class FakeAccessTokens final : public net::AccessTokenSource {
 public:
  explicit FakeAccessTokens(std::deque<std::string> tokens, bool loginNeeded = false)
      : tokens_(std::move(tokens)), loginNeeded_(loginNeeded) {}

  std::optional<std::string> accessToken(bool renew) override {
    requests.push_back(renew);
    if (tokens_.empty()) return std::nullopt;
    std::string token = tokens_.front();
    tokens_.pop_front();
    return token;
  }
  bool loginNeeded() const override { return loginNeeded_; }

  std::vector<bool> requests;  // one per request: whether it was a renewal

 private:
  std::deque<std::string> tokens_;
  bool loginNeeded_;
};

}  // namespace quelma::testing
