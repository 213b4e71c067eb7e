// Matching sorter rules against a message's header block, and the relay sender.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/configuration.h"
#include "sorting/message_header.h"
#include "sorting/sorter_rules.h"

namespace quelma::sorting {

inline constexpr std::size_t kMaxRelayList = 19999;
inline constexpr std::size_t kMaxRecipientItem = 150;
inline constexpr std::size_t kMaxFallbackName = 65;  // a name of UNDISCLOSED_MAIL_TO (or PostMaster)

struct RuleMatch {
  bool matched = false;
  std::vector<bool> users;  // per LocalUser, in user-table order
  std::vector<std::string> relay;  // outside addresses, in rule order
  std::vector<FolderRecipient> folders;  // users' folders, in rule order, each once
};

// The value of every `headerName` field that begins a line (with its folded continuation
// lines), lower-cased, as written and as decoded, is searched for the pattern.
bool HeaderMatches(const MessageHeader& header, const SorterRule& rule);
inline bool HeaderMatches(std::string_view headerBlock, const SorterRule& rule) {
  return HeaderMatches(MessageHeader(headerBlock), rule);
}

// A rule with the envelope option gives the local users the envelope headers name, and its
// own recipients only when they name none.
RuleMatch MatchSorterRules(const MessageHeader& header, const SorterRuleTable& rules,
                           const config::Configuration& config);

// The address of the first "From" line of the header, or nothing.
std::optional<std::string> RelaySender(std::string_view headerBlock);

}  // namespace quelma::sorting
