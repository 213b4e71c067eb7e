// Windows-1251 text as UTF-8, for the Linux terminal and for tests that print.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quelma::platform {

std::string Cp1251ToUtf8(std::string_view text);

// Appends the UTF-8 form of the code point `cp` (at most U+10FFFF).
void AppendUtf8(std::string& out, std::uint32_t cp);

}  // namespace quelma::platform
