// Matching sorter rules against a message's header block, and the relay sender.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/configuration.h"
#include "pop3_client/sorter_rules.h"

namespace quelma::pop3_client {

inline constexpr std::size_t kMaxRelayList = 19999;
inline constexpr std::size_t kMaxRecipientItem = 150;

struct RuleMatch {
  bool matched = false;
  std::vector<bool> users;  // per LocalUser, in user-table order
  std::vector<std::string> relay;  // outside addresses, in rule order
};

// The value of every `headerName` field that begins a line (with its folded continuation
// lines), lower-cased, is searched for the pattern.
bool HeaderMatches(std::string_view headerBlock, const SorterRule& rule);

RuleMatch MatchSorterRules(std::string_view headerBlock, const SorterRuleTable& rules,
                           const config::Configuration& config);

// The address of the first "From" line of the header, or nothing.
std::optional<std::string> RelaySender(std::string_view headerBlock);

}  // namespace quelma::pop3_client
