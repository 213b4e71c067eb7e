// ESMTP login: the method choice and the answers, checked against RFC 2195 and RFC 4616.
#include <gtest/gtest.h>

#include "codec/base64.h"
#include "codec/md5.h"
#include "smtp_client/smtp_authentication.h"

namespace quelma::smtp_client {
namespace {

TEST(SmtpAuthentication, CramMd5WinsThenPlainThenLogin) {
  const struct {
    const char* reply;
    AuthMethod method;
  } cases[] = {
      {"250-p\r\n250-AUTH LOGIN PLAIN CRAM-MD5\r\n250 8BITMIME\r\n", AuthMethod::kCramMd5},
      {"250-p\r\n250-AUTH=CRAM-MD5\r\n250 AUTH LOGIN\r\n", AuthMethod::kCramMd5},
      {"250-p\r\n250 AUTH LOGIN PLAIN\r\n", AuthMethod::kPlain},
      {"250-p\r\n250 AUTH PLAIN LOGIN\r\n", AuthMethod::kPlain},
      {"250-p\r\n250 AUTH LOGIN\r\n", AuthMethod::kLogin},
      {"250-p\r\n250 AUTH login plain cram-md5\r\n", AuthMethod::kNone},  // the words are matched exactly
      {"250-p\r\n250 SIZE 1000\r\n", AuthMethod::kNone},
  };
  for (const auto& c : cases) EXPECT_EQ(ChooseAuthMethod(c.reply), c.method) << c.reply;
}

TEST(SmtpAuthentication, PlainCredentialsHaveAnEmptyAuthorisationIdentity) {
  EXPECT_EQ(codec::Base64Decode(PlainCredentials("tim", "tanstaaftanstaaf")), std::string("\0tim\0tanstaaftanstaaf", 21));
}

TEST(SmtpAuthentication, CramMd5Answers) {
  const std::string challenge = "<1896.697170952@postoffice.reston.mci.net>";
  const std::string rfcAnswer = "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw";  // RFC 2195
  const auto answer = [](const std::string& decoded, const std::string& password) {
    return CramMd5Answer("334 " + codec::Base64Encode(decoded) + "\r\n", "tim", password);
  };
  EXPECT_EQ(std::get<std::string>(answer(challenge, "tanstaaftanstaaf")), rfcAnswer);
  EXPECT_EQ(std::get<std::string>(answer("text " + challenge + " more", "tanstaaftanstaaf")), rfcAnswer)
      << "only the bracketed part is the challenge";
  const std::string longPassword(80, 'k');
  EXPECT_EQ(codec::Base64Decode(std::get<std::string>(answer(challenge, longPassword))),
            "tim " + codec::DigestToHex(codec::HmacMd5Of(challenge, std::string(
                                                                          reinterpret_cast<const char*>(codec::Md5Of(longPassword).data()), 16))))
      << "a key over 64 bytes is replaced by its MD5";
  EXPECT_EQ(std::get<SmtpClientError>(answer("no brackets", "p")), SmtpClientError::kChallengeWithoutOpen);
  EXPECT_EQ(std::get<SmtpClientError>(answer("<never closed", "p")), SmtpClientError::kChallengeWithoutClose);
  EXPECT_EQ(std::get<SmtpClientError>(answer("> before <", "p")), SmtpClientError::kChallengeWithoutClose);
}

}  // namespace
}  // namespace quelma::smtp_client
