#include "dialogs/dialog_text.h"

#include "config/configuration.h"

namespace quelma::dialogs {

std::optional<std::uint32_t> ReadDecimal(std::string_view text) {
  std::size_t at = 0;
  while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
  if (at == text.size() || text[at] < '0' || text[at] > '9') return std::nullopt;
  std::uint64_t value = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    value = value * 10 + static_cast<unsigned>(text[at] - '0');
    if (value > UINT32_MAX) value = UINT32_MAX;
  }
  return static_cast<std::uint32_t>(value);
}

std::string Squeezed(std::string_view text, std::size_t length) {
  std::string result = Cut(text, length);
  config::SqueezeBlanks(result);
  return result;
}

}  // namespace quelma::dialogs
