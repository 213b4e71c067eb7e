// Windows-1251 text as UTF-8, for the Linux terminal and for tests that print.
#pragma once

#include <string>
#include <string_view>

namespace quelma::platform {

std::string Cp1251ToUtf8(std::string_view text);

}  // namespace quelma::platform
