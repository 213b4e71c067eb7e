// The OAuth SASL messages, byte for byte as the providers' documents and RFC 7628 give them.
#include <gtest/gtest.h>

#include "codec/base64.h"
#include "net/sasl_oauth.h"

namespace quelma::net {
namespace {

TEST(SaslOauth, Messages) {
  const struct Case {
    std::string encoded, decoded;
  } cases[] = {
      // Google's example of XOAUTH2.
      {Xoauth2Response("someuser@example.com", "ya29.vF9dft4qmTc2Nvb3RlckBhdHRhdmlzdGEuY29tCg"),
       "user=someuser@example.com\x01" "auth=Bearer ya29.vF9dft4qmTc2Nvb3RlckBhdHRhdmlzdGEuY29tCg\x01\x01"},
      // RFC 7628's example, and a login that needs escaping.
      {OauthBearerResponse("user@example.com", "server.example.com", 143, "vF9dft4qmTc2Nvb3RlckBhbHRhdmlzdGEuY29tCg=="),
       "n,a=user@example.com,\x01host=server.example.com\x01port=143\x01"
       "auth=Bearer vF9dft4qmTc2Nvb3RlckBhbHRhdmlzdGEuY29tCg==\x01\x01"},
      {OauthBearerResponse("a=b,c", "h", 995, "t"), "n,a=a=3Db=2Cc,\x01host=h\x01port=995\x01" "auth=Bearer t\x01\x01"},
      {OauthBearerAbort(), "\x01"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(codec::Base64DecodeStrict(c.encoded), c.decoded) << c.decoded;
  }
  // Google's published encoding of its example, to the letter.
  EXPECT_EQ(Xoauth2Response("someuser@example.com", "ya29.vF9dft4qmTc2Nvb3RlckBhdHRhdmlzdGEuY29tCg"),
            "dXNlcj1zb21ldXNlckBleGFtcGxlLmNvbQFhdXRoPUJlYXJlciB5YTI5LnZGOWRmdDRxbVRjMk52YjNSbGNrQmhkSFJoZG1semRHRXVZMjl0Q2cBAQ==");
}

}  // namespace
}  // namespace quelma::net
