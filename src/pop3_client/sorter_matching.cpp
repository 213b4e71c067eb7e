// Rule matching on header fields, and the sender of a relayed message.
#include "pop3_client/sorter_matching.h"

#include "platform/text.h"

namespace quelma::pop3_client {

bool HeaderMatches(std::string_view block, const SorterRule& rule) {
  if (rule.headerName.empty() || rule.pattern.empty() || rule.recipients.empty()) return false;
  for (std::size_t at = block.find(rule.headerName); at != std::string_view::npos;
       at = block.find(rule.headerName, at + 1)) {
    if (at != 0 && block[at - 1] != '\n') continue;
    // The value runs to the end of the line and over every line that begins with a blank or TAB.
    std::size_t end = at + rule.headerName.size();
    for (;;) {
      end = block.find('\n', end);
      if (end == std::string_view::npos) {
        end = block.size();
        break;
      }
      ++end;
      if (end >= block.size() || (block[end] != ' ' && block[end] != '\t')) break;
    }
    const std::size_t valueStart = at + rule.headerName.size();
    if (platform::ToLowerCp1251(block.substr(valueStart, end - valueStart)).find(rule.pattern) != std::string::npos) {
      return true;
    }
    at = end - 1;  // on behind this field: every occurrence of a repeated header is tried
  }
  return false;
}

RuleMatch MatchSorterRules(std::string_view block, const SorterRuleTable& rules, const config::Configuration& config) {
  RuleMatch result;
  result.users.assign(config.users.size(), false);
  std::size_t relayLength = 0;
  for (const SorterRule& rule : rules) {
    if (!HeaderMatches(block, rule)) continue;
    result.matched = true;
    std::string_view items = rule.recipients;
    while (!items.empty()) {
      const std::size_t comma = items.find(',');
      const std::string_view item = platform::Cut(items.substr(0, comma), kMaxRecipientItem);
      items = comma == std::string_view::npos ? std::string_view() : items.substr(comma + 1);
      if (item.empty()) continue;
      if (item.find('@') != std::string_view::npos) {
        // A list past its capacity keeps the addresses that fit, in rule order.
        if (relayLength + item.size() + 1 > kMaxRelayList) continue;
        relayLength += item.size() + 1;
        result.relay.emplace_back(item);
      } else if (const int user = config::FindLocalUser(config, item); user >= 0) {
        result.users[static_cast<std::size_t>(user)] = true;
      }
    }
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

}  // namespace quelma::pop3_client
