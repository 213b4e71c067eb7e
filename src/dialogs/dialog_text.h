// Reading the texts of dialog fields: cut to a field's length, read as a decimal number.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quelma::dialogs {

// At most `length` bytes of `text`, as a field of that many characters gives them.
inline std::string Cut(std::string_view text, std::size_t length) { return std::string(text.substr(0, length)); }

// The decimal number the field's text begins with (after blanks), or nothing when it begins
// with no digit. Values too large for 32 bits read as the largest.
std::optional<std::uint32_t> ReadDecimal(std::string_view text);

// The text with every byte of value 1 to 32 removed, cut to `length` first.
std::string Squeezed(std::string_view text, std::size_t length);

}  // namespace quelma::dialogs
