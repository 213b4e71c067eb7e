#include "serving/password_forms.h"

#include <algorithm>

#include "platform/cp1251_utf8.h"
#include "platform/text.h"

namespace quelma::serving {

std::vector<std::string> PasswordForms(const std::string& stored) {
  std::vector<std::string> forms{stored};
  if (std::any_of(stored.begin(), stored.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
    forms.push_back(platform::Cp1251ToUtf8(stored));
  }
  return forms;
}

bool PasswordMatches(std::string_view given, const std::string& stored) {
  const auto forms = PasswordForms(stored);
  return std::any_of(forms.begin(), forms.end(),
                     [given](const std::string& form) { return platform::EqualsIgnoreAsciiCase(given, form); });
}

}  // namespace quelma::serving
