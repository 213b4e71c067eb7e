// A user's folders on disk: the file of a folder by its name (an existing one whatever the
// case of the name), and the special-use folders made on first use.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quelma::spool {

// The file of folder `name` (UTF-8) of the user whose INBOX is `maildropPath`: the existing
// folder whose file is the same where case does not count, else the file a new one gets.
// Nothing, with the reason in `refusal`, for a name that cannot be a folder.
std::optional<std::string> FolderPath(const std::string& maildropPath, std::string_view name,
                                      std::string* refusal = nullptr);

// The user's folder and the special-use folders it lacks (Sent, Drafts, Trash, Junk, Archive),
// each an empty mailbox file; false when one could not be made.
bool MakeSpecialUseFolders(const std::string& maildropPath);

}  // namespace quelma::spool
