// Reading envelope headers: address lists, the "for" of Received, and the local users they name.
#include "sorting/envelope_recipients.h"

#include <algorithm>

#include "platform/text.h"

namespace quelma::sorting {
namespace {

constexpr std::size_t kMaxAddress = 320;

void Keep(std::string address, std::vector<std::string>& out) {
  address.erase(0, address.find_first_not_of(" \t"));
  while (!address.empty() && (address.back() == ' ' || address.back() == '\t')) address.pop_back();
  if (address.find('@') != std::string::npos && address.size() <= kMaxAddress) out.push_back(std::move(address));
}

}  // namespace

std::vector<std::string> AddressesIn(std::string_view value) {
  std::vector<std::string> out;
  std::string word;  // the bare word being read, outside quotes, comments and brackets
  std::string bracketed;
  bool inBrackets = false, inQuotes = false;
  int comment = 0;
  // A bare word with "@" is an address even beside a bracketed one (a sloppy sender's list).
  const auto endWord = [&] {
    Keep(word, out);
    word.clear();
  };
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (inQuotes) {
      if (c == '\\') ++i;
      else if (c == '"') inQuotes = false;
    } else if (comment > 0) {
      if (c == '\\') ++i;
      else if (c == '(') ++comment;
      else if (c == ')') --comment;
    } else if (inBrackets) {
      if (c == '>') {
        inBrackets = false;
        Keep(bracketed, out);
      } else if (c == '<') {
        bracketed.clear();  // "<a<b@c>": only the innermost is an address
      } else {
        bracketed.push_back(c);
      }
    } else if (c == '"') {
      inQuotes = true;
    } else if (c == '(') {
      comment = 1;
    } else if (c == '<') {
      endWord();
      inBrackets = true;
      bracketed.clear();
    } else if (c == ',' || c == ';' || c == '>' || c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      endWord();
    } else {
      word.push_back(c);
    }
  }
  endWord();
  return out;
}

std::string ReceivedFor(std::string_view value) {
  const std::string lower = platform::ToLowerAscii(value);
  for (std::size_t at = lower.find("for"); at != std::string::npos; at = lower.find("for", at + 1)) {
    const bool wordStart = at > 0 && (lower[at - 1] == ' ' || lower[at - 1] == '\t');
    if (!wordStart || at + 3 >= lower.size() || (lower[at + 3] != ' ' && lower[at + 3] != '\t')) continue;
    std::string_view rest = value.substr(at + 3);
    rest.remove_prefix(std::min(rest.size(), rest.find_first_not_of(" \t")));
    const std::string_view token = rest.substr(0, rest.find_first_of(" \t;"));
    const auto found = AddressesIn(token);
    return found.empty() ? std::string() : found.front();
  }
  return {};
}

int LocalUserOf(std::string_view address, const config::Configuration& config) {
  const std::size_t at = address.rfind('@');
  if (at == std::string_view::npos || at == 0) return -1;
  if (platform::ToLowerCp1251(address.substr(at + 1)) != platform::ToLowerCp1251(config.LocalDomain)) return -1;
  const std::string_view local = address.substr(0, at);
  if (const int user = config::FindLocalUser(config, local); user >= 0) return user;
  const std::size_t plus = local.find('+');
  return plus == std::string_view::npos || plus == 0 ? -1 : config::FindLocalUser(config, local.substr(0, plus));
}

std::vector<std::size_t> EnvelopeRecipients(const MessageHeader& header, const config::Configuration& config) {
  for (const auto& group : kEnvelopeHeaders) {
    std::vector<std::string> addresses;
    for (const std::string_view name : group) {
      if (name.empty()) continue;
      const auto values = header.values(name);
      if (name == "Received") {
        if (!values.empty()) addresses.push_back(ReceivedFor(values.front()));
        continue;
      }
      for (const auto& value : values) {
        for (auto& address : AddressesIn(value)) addresses.push_back(std::move(address));
      }
    }
    std::vector<std::size_t> users;
    for (const auto& address : addresses) {
      const int user = LocalUserOf(address, config);
      if (user >= 0 && std::find(users.begin(), users.end(), static_cast<std::size_t>(user)) == users.end()) {
        users.push_back(static_cast<std::size_t>(user));
      }
    }
    if (!users.empty()) return users;
  }
  return {};
}

}  // namespace quelma::sorting
