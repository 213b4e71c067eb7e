// How IMAP puts a text on the wire: an atom where one will do, a quoted string where the
// bytes allow it, a literal for everything else, NIL for a field that is not there.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quelma::imap_server {

// A quoted string when every byte may stand in one (no NUL, CR or LF; bytes above 127 only
// when `utf8` is on and they are UTF-8), else a literal "{n}" CR LF and the bytes.
void AppendString(std::string& out, std::string_view text, bool utf8 = false);
// NIL, or the text as AppendString puts it.
void AppendNString(std::string& out, const std::optional<std::string>& text, bool utf8 = false);
// An atom when the text is one (a mailbox name, a keyword), else as AppendString.
void AppendAString(std::string& out, std::string_view text, bool utf8 = false);

// Whether `c` may stand in an atom; and in an astring's atom, where "]" may too.
bool IsAtomChar(char c);
bool IsAStringChar(char c);

}  // namespace quelma::imap_server
