// "delivered.ids": a line "SECONDS USER ID" for each copy the sorter delivered.
#include "sorting/recent_message_ids.h"

#include <algorithm>
#include <cstdlib>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/text.h"

namespace quelma::sorting {
namespace {

bool IsIdText(std::string_view text) {
  if (text.size() < 3 || text.size() > 250 || text.front() != '<' || text.back() != '>') return false;
  return std::all_of(text.begin(), text.end(), [](char c) { return c > ' ' && c != 127; });
}

bool IsUserText(std::string_view text) {
  return !text.empty() && text.size() <= 64 && std::all_of(text.begin(), text.end(), [](char c) { return c > ' ' && c != 127; });
}

}  // namespace

std::int64_t LocalSeconds(const platform::LocalTime& t) {
  return std::int64_t{platform::DaysSinceEpoch(t)} * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
}

std::string MessageIdOf(const MessageHeader& header) {
  const auto values = header.values("Message-ID");
  if (values.empty()) return {};
  std::string_view value = values.front();
  const std::size_t open = value.find('<');
  const std::size_t close = value.find('>', open == std::string_view::npos ? 0 : open);
  if (open == std::string_view::npos || close == std::string_view::npos) return {};
  const std::string_view id = value.substr(open, close - open + 1);
  return IsIdText(id) ? std::string(id) : std::string();
}

void RecentMessageIds::load() {
  known_.clear();
  pending_.clear();
  const auto read = platform::ReadWholeFile(path_, 64 << 20);
  if (!read) return;
  const std::string& text = *read;
  bool dropped = false;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t lf = text.find('\n', at);
    const std::string line = text.substr(at, lf == std::string::npos ? std::string::npos : lf - at);
    at = lf == std::string::npos ? text.size() : lf + 1;
    const std::size_t blank1 = line.find(' ');
    const std::size_t blank2 = blank1 == std::string::npos ? blank1 : line.find(' ', blank1 + 1);
    char* end = nullptr;
    const std::int64_t when = std::strtoll(line.c_str(), &end, 10);
    if (blank2 == std::string::npos || end != line.c_str() + blank1 || lf == std::string::npos) {
      dropped = true;
      continue;
    }
    const std::string user = line.substr(blank1 + 1, blank2 - blank1 - 1), id = line.substr(blank2 + 1);
    // Too old, or from a clock that has since been set back by more than the window: gone.
    if (!IsUserText(user) || !IsIdText(id) || now_ - when >= kWindowSeconds || when - now_ >= kWindowSeconds) {
      dropped = true;
      continue;
    }
    auto& kept = known_[{user, id}];
    kept = std::max(kept, when);
  }
  // The bound: per user, the newest kMaxPerUser.
  std::map<std::string, std::vector<std::pair<std::int64_t, Key>>> byUser;
  for (const auto& [key, when] : known_) byUser[key.first].push_back({when, key});
  for (auto& [user, entries] : byUser) {
    if (entries.size() <= kMaxPerUser) continue;
    std::sort(entries.begin(), entries.end());
    for (std::size_t i = 0; i + kMaxPerUser < entries.size(); ++i) known_.erase(entries[i].second);
    dropped = true;
  }
  if (dropped) write();
}

bool RecentMessageIds::delivered(const std::string& user, const std::string& id) const {
  const Key key{platform::ToLowerAscii(user), id};
  return known_.contains(key) || pending_.contains(key);
}

void RecentMessageIds::willDeliver(const std::string& user, const std::string& id) {
  const std::string lower = platform::ToLowerAscii(user);
  if (IsUserText(lower) && IsIdText(id)) pending_.insert({lower, id});
}

bool RecentMessageIds::commit() {
  std::string lines;
  const std::string stamp = std::to_string(now_) + " ";
  while (!pending_.empty()) {
    Key key = std::move(pending_.extract(pending_.begin()).value());
    lines += stamp + key.first + " " + key.second + "\n";
    known_.insert_or_assign(std::move(key), now_);
  }
  return lines.empty() || platform::AppendToFile(path_, lines, true);
}

bool RecentMessageIds::write() {
  std::string text;
  for (const auto& [key, when] : known_) text += std::to_string(when) + " " + key.first + " " + key.second + "\n";
  if (text.empty()) return platform::RemoveFile(path_) || !platform::FileExists(path_);
  return platform::AtomicReplace(path_, text) == platform::WriteResult::kWritten;
}

}  // namespace quelma::sorting
