// A user's folders as IMAP changes them: made, removed, renamed (a folder's subfolders
// with it), listed, and the list of folders the user subscribed to.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quelma::spool {

enum class FolderChange {
  kDone,
  kExists,    // a folder of that name (where case does not count) is there already
  kMissing,   // no such folder
  kRefused,   // the name cannot be a folder's (reason given)
  kFailed,    // a file step failed (reason given)
};

// The user's folders by name (UTF-8), sorted; INBOX is not among them.
std::vector<std::string> ListFolders(const std::string& maildropPath);

FolderChange CreateFolder(const std::string& maildropPath, std::string_view name, std::string& reason);
// The folder's file, index and summaries go; its subfolders stay.
FolderChange DeleteFolder(const std::string& maildropPath, std::string_view name, std::string& reason);
// The folder and every folder below it ("from/…") take the new name.
FolderChange RenameFolder(const std::string& maildropPath, std::string_view from, std::string_view to,
                          std::string& reason);

// The names the user subscribed to, in the order they were added.
std::vector<std::string> ReadSubscriptions(const std::string& maildropPath);
bool WriteSubscriptions(const std::string& maildropPath, const std::vector<std::string>& names);

// The special-use attributes the user gave folders (CREATE ... (USE (\Archive))), by folder name;
// the special-use folders every user gets have theirs without an entry.
std::vector<std::pair<std::string, std::string>> ReadSpecialUse(const std::string& maildropPath);
bool WriteSpecialUse(const std::string& maildropPath, const std::vector<std::pair<std::string, std::string>>& uses);

}  // namespace quelma::spool
