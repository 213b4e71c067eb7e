// A user's folders as files: which names a folder may have, the file name each has in the
// user's folder (safe on both platforms), and the special-use folders every user gets.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quelma::spool {

inline constexpr char kHierarchySeparator = '/';

// The file name of the folder `name` (UTF-8, levels joined by "/") in the user's folder: ASCII
// only, so it means the same on every file system; "%" and two upper-case hexadecimal digits
// stand for every byte that could not stand as itself (a non-ASCII byte, "/", a character
// Windows forbids, "%", a leading dot, a trailing dot or blank, a Windows device name's first
// letter). Nothing, with the reason in `refusal`, for a name that cannot be a folder: not
// UTF-8, empty, an empty level, a level "." or "..", a control character, INBOX itself, or
// longer than a file name may be.
std::optional<std::string> FolderFileName(std::string_view name, std::string* refusal = nullptr);

// The folder name a file name stands for; nothing for a file that is no folder's.
std::optional<std::string> FolderNameOfFile(std::string_view file);

// Whether two folder file names are one file where case does not count (Windows, and macOS
// volumes): a new folder whose file would be an existing one's is refused.
bool SameFolderFile(std::string_view a, std::string_view b);

// The special-use folders (RFC 6154) made for each user on first use, with their attributes.
struct SpecialUseFolder {
  const char* name;
  const char* attribute;
};
inline constexpr SpecialUseFolder kSpecialUseFolders[] = {
    {"Sent", "\\Sent"}, {"Drafts", "\\Drafts"}, {"Trash", "\\Trash"}, {"Junk", "\\Junk"}, {"Archive", "\\Archive"},
};

}  // namespace quelma::spool
