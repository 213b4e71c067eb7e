// Sender extraction and rewriting, and the address rewriting of From: and Reply-To: lines.
#include "smtp_client/sender_rewriting.h"

#include "platform/text.h"
#include "spool/queue_file.h"

namespace quelma::smtp_client {
namespace {

bool EndsDomainName(char c) {
  const auto u = static_cast<unsigned char>(c);
  return !((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || c == '.' || c == '_');
}

}  // namespace

std::optional<std::string> ExtractSender(std::string_view mailFromLine) {
  const std::string_view sender = spool::EnvelopeSender(mailFromLine);
  if (sender.size() > kMaxSender) return std::nullopt;
  return std::string(sender);
}

std::string RewriteSender(std::string_view sender, const config::Configuration& config) {
  std::string lower = platform::ToLowerAscii(sender);
  const auto at = lower.find('@');
  if (at == std::string::npos) return lower;
  if (platform::ToLowerCp1251(std::string_view(lower).substr(at + 1)) != platform::ToLowerCp1251(config.LocalDomain)) {
    return lower;
  }
  const int user = config::FindLocalUser(config, std::string_view(lower).substr(0, at));
  if (user < 0 || config.users[static_cast<std::size_t>(user)].alias.empty()) return lower;
  return config.users[static_cast<std::size_t>(user)].alias;
}

std::string RewriteAddressHeader(std::string_view line, std::string_view sender, std::string_view localDomain) {
  const auto at = line.find('@');
  if (sender.empty() || at == std::string_view::npos) return std::string(line);
  const auto before = line.substr(0, at).find_last_of("< \t(;,");
  const std::size_t start = before == std::string_view::npos ? 0 : before + 1;
  const std::string copy = platform::ToLowerCp1251(line.substr(start));
  const std::string domain = platform::ToLowerCp1251(localDomain);
  const auto found = copy.find(domain);
  if (domain.empty() || found == std::string::npos || found == 0 || copy[found - 1] != '@') return std::string(line);
  const std::size_t after = found + domain.size();
  if (after < copy.size() && !EndsDomainName(copy[after])) return std::string(line);
  const auto tail = copy.find_first_of("> \t)\r\n;,");
  std::string out(line.substr(0, start));
  out += sender;
  if (tail != std::string::npos) out += copy.substr(tail);
  return out;
}

}  // namespace quelma::smtp_client
