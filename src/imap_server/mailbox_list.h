// The names LIST and LSUB answer with: INBOX, the user's folders and the parents they imply,
// matched against the patterns' "*" and "%", with the attributes each name has.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quelma::imap_server {

// Whether `name` matches `pattern`: "*" anything, "%" anything but the hierarchy separator;
// "INBOX" in any case matches INBOX's own name.
bool MatchesPattern(std::string_view name, std::string_view pattern);

struct ListedMailbox {
  std::string name;                 // UTF-8; "INBOX" for the inbox
  bool exists = true;               // false: only implied by a folder below it, or only subscribed
  bool hasChildren = false;
  bool subscribed = false;
  std::string specialUse;           // "\\Sent" and the like, or empty
};

// Every name there is: INBOX, the folders, the implied parents; subscriptions and special-use
// attributes marked. Sorted, INBOX first.
std::vector<ListedMailbox> AllMailboxes(const std::vector<std::string>& folders,
                                        const std::vector<std::string>& subscriptions,
                                        const std::vector<std::pair<std::string, std::string>>& specialUse);

// The special-use attribute a folder has by its name alone (the folders every user gets).
std::string DefaultSpecialUse(std::string_view name);

}  // namespace quelma::imap_server
