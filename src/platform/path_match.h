// Wildcard matching of file names, the same on both platforms.
#pragma once

#include <string_view>

namespace quelma::platform {

// '?' matches one byte, '*' any run of bytes (also none); other bytes match themselves.
bool MatchesPattern(std::string_view name, std::string_view pattern);

}  // namespace quelma::platform
