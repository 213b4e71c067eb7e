// Passwords kept in Windows-1251 and typed into mail programs that send them so or as UTF-8.
#include "serving/password_forms.h"

#include <gtest/gtest.h>

#include "codec/md5.h"

namespace quelma::serving {
namespace {

// Source literals are Windows-1251 bytes; the UTF-8 form is written out.
const std::string kStored = "Пароль7";
const std::string kUtf8 = "\xD0\x9F\xD0\xB0\xD1\x80\xD0\xBE\xD0\xBB\xD1\x8C" "7";

TEST(PasswordForms, EitherEncodingOfTheStoredPasswordIsIt) {
  const struct {
    std::string stored, given;
    bool matches;
  } cases[] = {
      {kStored, kStored, true},                      // a program that sends Windows-1251
      {kStored, kUtf8, true},                        // one that sends UTF-8 (PLAIN, phones)
      {kStored, "Пароль8", false},
      {kStored, kUtf8.substr(0, kUtf8.size() - 1), false},
      {kStored, "", false},
      {"Secret7", "SECRET7", true},                  // ASCII letters' case aside, as always
      {"Secret7", "Secret7 ", false},
      {"", "", true},                                // the caller decides what no password means
      {"\xFF\xFE", "\xC3\xBF\xC3\xBE", false},       // not a Windows-1251 letter pair made into those bytes
  };
  for (const auto& c : cases) EXPECT_EQ(PasswordMatches(c.given, c.stored), c.matches) << c.given;
  EXPECT_EQ(PasswordForms("Secret7").size(), 1u) << "an ASCII password has one form";
  // A digest login made with the UTF-8 form is found among the forms' digests.
  const auto forms = PasswordForms(kStored);
  ASSERT_EQ(forms.size(), 2u);
  EXPECT_EQ(codec::DigestToHex(codec::HmacMd5Of("<1.2@office>", forms[1])),
            codec::DigestToHex(codec::HmacMd5Of("<1.2@office>", kUtf8)));
}

}  // namespace
}  // namespace quelma::serving
