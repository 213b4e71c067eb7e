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

namespace {

// The words of the EHLO reply's line for `keyword` ("AUTH PLAIN LOGIN"), keyword first; empty
// when no line names it.
std::string_view EhloLine(std::string_view ehloReply, std::string_view keyword) {
  for (std::size_t start = 0; start < ehloReply.size();) {
    const std::size_t end = std::min(ehloReply.find('\n', start), ehloReply.size());
    const std::string_view line = ehloReply.substr(start, end - start);
    if (line.size() > 4) {
      std::string_view rest = line.substr(4);
      while (!rest.empty() && (rest.back() == '\r' || rest.back() == ' ')) rest.remove_suffix(1);
      if (platform::EqualsIgnoreAsciiCase(rest.substr(0, rest.find(' ')), keyword)) return rest;
    }
    start = end + 1;
  }
  return {};
}

}  // namespace

bool EhloOffers(std::string_view ehloReply, std::string_view keyword) { return !EhloLine(ehloReply, keyword).empty(); }

bool EhloOffersMechanism(std::string_view ehloReply, std::string_view mechanism) {
  std::string_view words = EhloLine(ehloReply, "AUTH");
  while (!words.empty()) {
    const std::size_t blank = words.find(' ');
    if (platform::EqualsIgnoreAsciiCase(words.substr(0, blank), mechanism)) return true;
    words = blank == std::string_view::npos ? std::string_view() : words.substr(blank + 1);
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
