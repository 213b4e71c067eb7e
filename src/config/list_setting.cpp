// Reading list settings and the listening addresses.
#include "config/list_setting.h"

namespace quelma::config {
namespace {

bool IsSeparator(char c) { return c == ',' || static_cast<unsigned char>(c) <= 32; }

}  // namespace

std::vector<std::string> ListItems(std::string_view text) {
  std::vector<std::string> items;
  std::size_t at = 0;
  while (at < text.size()) {
    while (at < text.size() && IsSeparator(text[at])) ++at;
    const std::size_t begin = at;
    while (at < text.size() && !IsSeparator(text[at])) ++at;
    if (at > begin) items.emplace_back(text.substr(begin, at - begin));
  }
  return items;
}

std::string ListText(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ",") + item;
  return text;
}

std::optional<ListenAddresses> ReadListenAddresses(std::string_view text, std::string* badItem) {
  const std::vector<std::string> items = ListItems(text);
  ListenAddresses result;
  if (items.empty() || (items.size() == 1 && items[0] == "*")) {
    result.every = true;
    result.addresses = {platform::IpAddress::V4(platform::kAnyAddress), platform::IpAddress::AnyV6()};
    return result;
  }
  for (const std::string& item : items) {
    const auto address = platform::ParseIpAddress(item);
    if (!address) {
      if (badItem) *badItem = item;
      return std::nullopt;
    }
    result.addresses.push_back(*address);
  }
  return result;
}

std::optional<std::string> ListenAddressesProblem(std::string_view text) {
  std::string bad;
  if (ReadListenAddresses(text, &bad)) return std::nullopt;
  return "\"" + bad + "\" не является IP-адресом.";
}

}  // namespace quelma::config
