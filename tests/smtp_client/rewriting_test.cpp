// The sender and header rewriting that gives outgoing mail the provider-side addresses.
#include <gtest/gtest.h>

#include "smtp_client/sender_rewriting.h"

namespace quelma::smtp_client {
namespace {

config::Configuration Office() {
  config::Configuration c;
  c.LocalDomain = "office.local";
  c.users = {{"Ivan", "", "ivan.petrov@provider.ru"}, {"olga", "", ""}};
  return c;
}

TEST(SenderRewriting, ExtractionAndAliases) {
  struct Case {
    std::string line;
    std::optional<std::string> sent;
  };
  const std::string long103(103 - 13, 'a');
  const Case cases[] = {
      {"MAIL FROM:<ivan@office.local>\r\n", "ivan.petrov@provider.ru"},
      {"MAIL FROM:<IVAN@Office.Local>\r\n", "ivan.petrov@provider.ru"},  // any case of name and domain
      {"MAIL FROM:<olga@office.local>\r\n", "olga@office.local"},        // no alias
      {"MAIL FROM:<Ivan@Other.COM>\r\n", "ivan@other.com"},              // another domain: lower case only
      {"MAIL FROM:<ivan@office.local.ru>\r\n", "ivan@office.local.ru"},
      {"MAIL FROM:<ivan>\r\n", "ivan"},
      {"MAIL FROM:<>\r\n", ""},
      {"MAIL FROM:<a@b\r\n", "a@b"},  // cut at CR when '>' is missing
      {"MAIL FROM:<" + long103 + "@office.local>\r\n", long103 + "@office.local"},
      {"MAIL FROM:<" + long103 + "x@office.local>\r\n", std::nullopt},  // 104: refused, never cut
  };
  const auto config = Office();
  for (const auto& c : cases) {
    const auto sender = ExtractSender(c.line);
    ASSERT_EQ(sender.has_value(), c.sent.has_value()) << c.line;
    if (sender) {
      EXPECT_EQ(RewriteSender(*sender, config), *c.sent) << c.line;
    }
  }
}

TEST(SenderRewriting, FromAndReplyToLines) {
  const std::string s = "ivan.petrov@provider.ru";
  const struct {
    std::string line;
    std::string expected;
  } cases[] = {
      {"From: <ivan@office.local>\r\n", "From: <" + s + ">\r\n"},
      {"From: ivan@office.local\r\n", "From: " + s + "\r\n"},
      {"From: \"Ivan P.\" <Ivan@Office.Local>\r\n", "From: \"Ivan P.\" <" + s + ">\r\n"},
      {"Reply-To: Ivan <ivan@office.local> (Work PHONE)\r\n", "Reply-To: Ivan <" + s + "> (work phone)\r\n"},
      {"From: Ivan,ivan@office.local;Tail\r\n", "From: Ivan," + s + ";tail\r\n"},
      {"From: ivan@office.localhost\r\n", "From: ivan@office.localhost\r\n"},     // only begins like it
      {"From: ivan@office.local.ru\r\n", "From: ivan@office.local.ru\r\n"},
      {"From: ivan@xoffice.local\r\n", "From: ivan@xoffice.local\r\n"},           // not right after '@'
      {"From: ivan@other.com\r\n", "From: ivan@other.com\r\n"},
      {"From: no address\r\n", "From: no address\r\n"},
      {"From: ivan@office.local", "From: " + s},                                    // no line end at all
  };
  for (const auto& c : cases) EXPECT_EQ(RewriteAddressHeader(c.line, s, "office.local"), c.expected) << c.line;
  EXPECT_EQ(RewriteAddressHeader("From: ivan@office.local\r\n", "", "office.local"), "From: ivan@office.local\r\n");
  EXPECT_EQ(RewriteAddressHeader("From: ivan@office.local\r\n", s, ""), "From: ivan@office.local\r\n");
}

}  // namespace
}  // namespace quelma::smtp_client
