// Method choice, AUTH PLAIN credentials and the CRAM-MD5 answer.
#include "smtp_client/smtp_authentication.h"

#include "codec/base64.h"
#include "codec/md5.h"
#include "platform/text.h"

namespace quelma::smtp_client {

AuthMethod ChooseAuthMethod(std::string_view ehloReply) {
  if (ehloReply.find("CRAM-MD5") != std::string_view::npos) return AuthMethod::kCramMd5;
  if (ehloReply.find("PLAIN") != std::string_view::npos) return AuthMethod::kPlain;
  if (ehloReply.find("LOGIN") != std::string_view::npos) return AuthMethod::kLogin;
  return AuthMethod::kNone;
}

bool EhloOffers(std::string_view ehloReply, std::string_view keyword) {
  for (std::size_t start = 0; start < ehloReply.size();) {
    const std::size_t end = std::min(ehloReply.find('\n', start), ehloReply.size());
    const std::string_view line = ehloReply.substr(start, end - start);
    if (line.size() > 4) {
      const std::string_view rest = line.substr(4);
      if (platform::EqualsIgnoreAsciiCase(rest.substr(0, rest.find_first_of(" \r")), keyword)) return true;
    }
    start = end + 1;
  }
  return false;
}

std::string PlainCredentials(std::string_view name, std::string_view password) {
  std::string bytes(1, '\0');
  bytes += name;
  bytes.push_back('\0');
  bytes += password;
  return codec::Base64Encode(bytes);
}

std::variant<std::string, SmtpClientError> CramMd5Answer(std::string_view reply, std::string_view name, std::string_view password) {
  const std::string decoded = codec::Base64Decode(reply.substr(std::min<std::size_t>(4, reply.size())));
  const auto open = decoded.find('<');
  if (open == std::string::npos) return SmtpClientError::kChallengeWithoutOpen;
  const auto close = decoded.find('>', open);
  if (close == std::string::npos) return SmtpClientError::kChallengeWithoutClose;
  const std::string_view challenge = std::string_view(decoded).substr(open, close - open + 1);
  const std::string answer =
      std::string(name) + " " + codec::DigestToHex(codec::HmacMd5Of(challenge, password));
  return codec::Base64Encode(answer);
}

}  // namespace quelma::smtp_client
