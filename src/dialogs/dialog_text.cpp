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

std::optional<std::uint32_t> ReadCount(std::string_view field, std::uint32_t highest) {
  const std::string digits = Squeezed(field, field.size());
  if (digits.empty()) return 0;
  if (digits.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
  const std::optional<std::uint32_t> value = ReadDecimal(digits);  // saturates: never wraps below `highest`
  if (!value || *value > highest) return std::nullopt;
  return value;
}

int TlsChoiceOf(config::TlsMode mode) {
  switch (mode) {
    case config::TlsMode::kNone: return 0;
    case config::TlsMode::kStartTls: return 1;
    case config::TlsMode::kImplicit: return 2;
  }
  return 0;
}

config::TlsMode TlsModeOfChoice(int choice) {
  return choice == 1 ? config::TlsMode::kStartTls : choice == 2 ? config::TlsMode::kImplicit : config::TlsMode::kNone;
}

std::string PortAfterTlsChoice(const std::string& port, int from, int to, const std::uint16_t (&usual)[3]) {
  if (from < 0 || from > 2 || to < 0 || to > 2) return port;
  const std::string trimmed = Squeezed(port, 9);
  if (!trimmed.empty() && trimmed != std::to_string(usual[from])) return port;
  return std::to_string(usual[to]);
}

std::optional<std::string> AcceptFingerprint(std::string_view field) {
  const std::string squeezed = Squeezed(field, 200);
  if (squeezed.empty()) return std::string();
  std::string normal = config::NormalizeFingerprint(squeezed);
  if (normal.empty()) return std::nullopt;
  return normal;
}

}  // namespace quelma::dialogs
