// Rule matching on header fields, and the sender of a relayed message.
#include "sorting/sorter_matching.h"

#include <algorithm>

#include "config/list_setting.h"
#include "platform/text.h"
#include "sorting/envelope_recipients.h"

namespace quelma::sorting {

bool HeaderMatches(const MessageHeader& header, const SorterRule& rule) {
  if (rule.headerName.empty() || rule.pattern.empty() || rule.recipients.empty()) return false;
  return header.matches(rule.headerName, rule.pattern);
}

namespace {

void TakeRecipients(const SorterRule& rule, const config::Configuration& config, RuleMatch& result,
                    std::size_t& relayLength) {
  for (const std::string& whole : config::ListItems(rule.recipients)) {
    const std::string_view item = platform::Cut(whole, kMaxRecipientItem);
    if (item.find('@') != std::string_view::npos) {
      // A list past its capacity keeps the addresses that fit, in rule order.
      if (relayLength + item.size() + 1 > kMaxRelayList) continue;
      relayLength += item.size() + 1;
      result.relay.emplace_back(item);
    } else if (auto folder = SplitFolderRecipient(item)) {
      const int user = config::FindLocalUser(config, folder->user);
      if (user < 0) continue;
      folder->user = config.users[static_cast<std::size_t>(user)].name;
      const bool named = std::any_of(result.folders.begin(), result.folders.end(), [&](const FolderRecipient& f) {
        return f.user == folder->user && platform::EqualsIgnoreAsciiCase(f.folder, folder->folder);
      });
      if (!named) result.folders.push_back(std::move(*folder));
    } else if (const int user = config::FindLocalUser(config, item); user >= 0) {
      result.users[static_cast<std::size_t>(user)] = true;
    }
  }
}

}  // namespace

RuleMatch MatchSorterRules(const MessageHeader& header, const SorterRuleTable& rules, const config::Configuration& config) {
  RuleMatch result;
  result.users.assign(config.users.size(), false);
  std::size_t relayLength = 0;
  for (const SorterRule& rule : rules) {
    if (!HeaderMatches(header, rule)) continue;
    result.matched = true;
    const auto named = rule.envelope ? EnvelopeRecipients(header, config) : std::vector<std::size_t>{};
    for (const std::size_t user : named) result.users[user] = true;
    if (named.empty()) TakeRecipients(rule, config, result, relayLength);
    if (rule.stop) break;
  }
  return result;
}

std::optional<std::string> RelaySender(std::string_view block) {
  std::size_t lineStart = 0;
  while (lineStart < block.size()) {
    std::size_t lineEnd = block.find('\n', lineStart);
    if (lineEnd == std::string_view::npos) lineEnd = block.size();
    const std::string_view line = block.substr(lineStart, lineEnd - lineStart);
    if (line == "\r" || line.empty()) return std::nullopt;
    if (line.starts_with("From")) {
      const std::size_t at = line.find('@');
      if (at == std::string_view::npos) return std::nullopt;
      // The address starts after the nearest delimiter, and never inside "From:" itself: a
      // "From:ivan@x.ru" written without a blank keeps its first letter.
      std::size_t begin = at;
      while (begin > 5 && std::string_view("< \t\"").find(line[begin - 1]) == std::string_view::npos) --begin;
      std::size_t end = at;
      while (end < line.size() && std::string_view(std::string_view("\0\r \t>\"", 6)).find(line[end]) == std::string_view::npos) {
        ++end;
      }
      return std::string(line.substr(begin, end - begin));
    }
    lineStart = lineEnd + 1;
  }
  return std::nullopt;
}

}  // namespace quelma::sorting
