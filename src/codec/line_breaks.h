// Finding, in a long text, the next line break where a line-wise rewriter has something to
// do: a line feed without its carriage return, or one followed by a line that begins with a
// given byte. The bytes between go over in one run; on x86 sixteen bytes are looked at a time.
#pragma once

#include <cstddef>
#include <string_view>

namespace quelma::codec {

struct LineBreakNeeds {
  char lineStart = '.';       // a line feed followed by this byte is wanted
  bool bareLineFeed = false;  // a line feed without a CR before it is wanted too
};

// The offset of the first line feed at or after `from` in `text` that is wanted, or that is
// the last byte of `text` (what follows it is not known yet); npos when there is none.
// `crBefore` tells whether the byte before text[from] (in this text or before it) is a CR.
std::size_t NextWantedLineBreak(std::string_view text, std::size_t from, bool crBefore, LineBreakNeeds needs);

}  // namespace quelma::codec
