// Names for LIST and LSUB, and their patterns.
#include "imap_server/mailbox_list.h"

#include <algorithm>
#include <map>
#include <vector>

#include "spool/folder_names.h"

namespace quelma::imap_server {
namespace {

ListedMailbox Named(const std::string& name, bool exists) {
  ListedMailbox m;
  m.name = name;
  m.exists = exists;
  return m;
}

bool IsInbox(std::string_view name) {
  return name.size() == 5 && (name[0] | 0x20) == 'i' && (name[1] | 0x20) == 'n' && (name[2] | 0x20) == 'b' &&
         (name[3] | 0x20) == 'o' && (name[4] | 0x20) == 'x';
}

// Row by row over the name: cell p says whether the name so far matches the pattern's first
// p bytes. Costs name size times pattern size (patterns are bounded by the caller).
bool Match(std::string_view name, std::string_view pattern) {
  std::vector<char> row(pattern.size() + 1, 0), next(pattern.size() + 1, 0);
  row[0] = 1;
  for (std::size_t p = 0; p < pattern.size() && (pattern[p] == '*' || pattern[p] == '%'); ++p) row[p + 1] = 1;
  for (const char c : name) {
    next[0] = 0;
    for (std::size_t p = 0; p < pattern.size(); ++p) {
      const char w = pattern[p];
      if (w == '*') next[p + 1] = next[p] || row[p + 1];
      else if (w == '%') next[p + 1] = next[p] || (row[p + 1] && c != spool::kHierarchySeparator);
      else next[p + 1] = row[p] && w == c;
    }
    row.swap(next);
  }
  return row[pattern.size()] != 0;
}

}  // namespace

bool MatchesPattern(std::string_view name, std::string_view pattern) {
  if (name == "INBOX" || name.starts_with("INBOX/")) {
    // INBOX is INBOX in any case: a pattern that begins with it in any case matches as "INBOX".
    if (pattern.size() >= 5 && IsInbox(pattern.substr(0, 5))) {
      return Match(name, "INBOX" + std::string(pattern.substr(5)));
    }
  }
  return Match(name, pattern);
}

std::string DefaultSpecialUse(std::string_view name) {
  for (const spool::SpecialUseFolder& special : spool::kSpecialUseFolders) {
    if (name == special.name) return special.attribute;
  }
  return {};
}

std::vector<ListedMailbox> AllMailboxes(const std::vector<std::string>& folders,
                                        const std::vector<std::string>& subscriptions,
                                        const std::vector<std::pair<std::string, std::string>>& specialUse) {
  std::map<std::string, ListedMailbox> all;
  all["INBOX"] = Named("INBOX", true);
  for (const std::string& folder : folders) {
    ListedMailbox& m = all[folder];
    m.name = folder;
    m.exists = true;
    m.specialUse = DefaultSpecialUse(folder);
  }
  for (const std::string& name : subscriptions) {
    const std::string key = IsInbox(name) ? "INBOX" : name;
    auto it = all.find(key);
    if (it == all.end()) it = all.emplace(key, Named(key, false)).first;
    it->second.subscribed = true;
  }
  for (const auto& [name, attribute] : specialUse) {
    const auto it = all.find(name);
    if (it != all.end() && it->second.exists) it->second.specialUse = attribute;
  }
  // Parents every name implies, and which names have children.
  std::vector<std::string> names;
  for (const auto& [name, m] : all) names.push_back(name);
  for (const std::string& name : names) {
    for (std::size_t slash = name.find(spool::kHierarchySeparator); slash != std::string::npos;
         slash = name.find(spool::kHierarchySeparator, slash + 1)) {
      const std::string parent = name.substr(0, slash);
      auto it = all.find(parent);
      if (it == all.end()) it = all.emplace(parent, Named(parent, false)).first;
      if (all[name].exists) it->second.hasChildren = true;
    }
  }
  std::vector<ListedMailbox> out;
  out.push_back(all["INBOX"]);
  for (auto& [name, m] : all) {
    if (name != "INBOX") out.push_back(std::move(m));
  }
  return out;
}

}  // namespace quelma::imap_server
