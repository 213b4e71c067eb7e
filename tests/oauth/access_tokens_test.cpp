// Access tokens from stored refresh tokens: the platform's settings, the cache, rotation,
// revocation and the log lines that tell the administrator what to do; the tokens file.
#include <gtest/gtest.h>

#include "oauth/access_tokens.h"
#include "oauth/fake_identity_platform.h"
#include "oauth/oauth_platform.h"
#include "oauth/token_store.h"
#include "platform/cp1251_utf8.h"
#include "support/temp_dir.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace quelma::oauth {
namespace {

using quelma::testing::ReadAll;
using quelma::testing::TempDir;
using quelma::testing::WriteAll;

config::Configuration Settings() {
  config::Configuration c;
  c.SMTPServer = "smtp.office365.com";
  c.SMTP_LOGIN_NAME = "me@office.test";
  c.accounts = {{"outlook.office365.com", "me@office.test", "", 995, "*", 0, config::TlsMode::kImplicit, {},
                 config::OauthMechanism::kXoauth2, {}}};
  c.oauthSettings = {{"OAUTH_MICROSOFT_CLIENT_ID", "client-1"},
                     {"OAUTH_MICROSOFT_TOKEN_URL", "https://127.0.0.1:9/token"}};
  return c;
}

TEST(OauthPlatform, PresetsSettingsAndServers) {
  config::Configuration c = Settings();
  c.oauthSettings["OAUTH_GOOGLE_SCOPES"] = "https://mail.google.com/,openid";
  c.oauthSettings["OAUTH_OFFICE_TOKEN_URL"] = "https://idp.office.test/token";
  c.oauthSettings["OAUTH_OFFICE_FLOW"] = "loopback";
  const auto microsoft = OauthPlatformOf(c, "microsoft", MailAccess::kPop3);
  ASSERT_TRUE(microsoft);
  EXPECT_EQ(microsoft->tokenUrl, "https://127.0.0.1:9/token") << "a setting replaces the preset's endpoint";
  EXPECT_EQ(microsoft->deviceUrl, "https://login.microsoftonline.com/common/oauth2/v2.0/devicecode");
  EXPECT_EQ(microsoft->clientId, "client-1");
  EXPECT_EQ(microsoft->firstLogin, FirstLogin::kDevice);
  EXPECT_NE(microsoft->scopes.find("https://outlook.office.com/POP.AccessAsUser.All"), std::string::npos);
  // An IMAP account asks for IMAP; a POP3 account's refresh keeps what its user agreed to.
  const std::string imapScopes = OauthPlatformOf(c, "microsoft", MailAccess::kImap)->scopes;
  EXPECT_NE(imapScopes.find("https://outlook.office.com/IMAP.AccessAsUser.All"), std::string::npos);
  EXPECT_EQ(imapScopes.find("POP.AccessAsUser"), std::string::npos);
  EXPECT_EQ(OauthPlatformOf(c, "microsoft", MailAccess::kSmtp)->scopes, microsoft->scopes);
  c.oauthSettings["OAUTH_MICROSOFT_SCOPES"] = "offline_access,mail";
  EXPECT_EQ(OauthPlatformOf(c, "microsoft", MailAccess::kImap)->scopes, "offline_access mail") << "the office's own";
  c.oauthSettings.erase("OAUTH_MICROSOFT_SCOPES");
  const auto google = OauthPlatformOf(c, "google", MailAccess::kPop3);
  ASSERT_TRUE(google);
  EXPECT_EQ(google->scopes, "https://mail.google.com/ openid") << "list items go out blank-separated";
  EXPECT_EQ(google->firstLogin, FirstLogin::kLoopback);
  EXPECT_NE(OauthPlatformProblem(*google).find("OAUTH_GOOGLE_CLIENT_ID"), std::string::npos);
  const auto office = OauthPlatformOf(c, "office", MailAccess::kPop3);
  ASSERT_TRUE(office) << "an office's own platform, defined by its token endpoint";
  EXPECT_EQ(office->firstLogin, FirstLogin::kLoopback);
  EXPECT_FALSE(OauthPlatformOf(c, "nobody", MailAccess::kPop3));
  EXPECT_FALSE(OauthPlatformOf(c, "", MailAccess::kPop3));

  const struct {
    const char* named;
    const char* host;
    const char* platform;
  } names[] = {{"", "outlook.office365.com", "microsoft"}, {"", "smtp-mail.outlook.com", "microsoft"},
               {"", "POP.GMAIL.COM", "google"},            {"", "pop.yandex.ru", ""},
               {"", "notgmail.com", ""},                   {"office", "pop.gmail.com", "office"}};
  for (const auto& n : names) EXPECT_EQ(OauthPlatformName(n.named, n.host), n.platform) << n.host;
}

struct Tokens {
  TempDir dir;
  FakeIdentityPlatform idp;
  std::int64_t now = 1000;
  AccessTokens tokens{dir.path(), idp.poster(), [this] { return now; }};
  std::string logged;
  config::Configuration config = Settings();
  std::unique_ptr<net::AccessTokenSource> source() {
    return tokens.sourceFor(config, AccountLogin(config, 0), [this](const std::string& text) { logged += text; });
  }
  std::string key() const { return Pop3LoginKey("OUTLOOK.office365.com", "me@office.test"); }
  std::string refreshTokenStored() {
    std::string token;
    TokenStore(dir.path()).refreshToken(key(), token);
    return token;
  }
};

// The life of a token: refreshed before the first session, kept while valid, refreshed again
// near its end or after a refusal, a rotated refresh token stored at once, a revoked one
// asking for a new login; nothing of any token in the log.
TEST(AccessTokens, TheLifeOfATokenAndWhatTheLogSays) {
  Tokens t;
  ASSERT_TRUE(TokenStore(t.dir.path()).save(t.key(), "refresh-1"));
  int issued = 0;
  bool rotate = false;
  t.idp.answer = [&](const FakeIdentityPlatform::Request& r) {
    if (r.form.at("refresh_token") == "revoked") {
      return FakeIdentityPlatform::Json(400, R"({"error":"invalid_grant","error_description":"AADSTS70000: revoked"})");
    }
    const std::string rotated = rotate ? R"(,"refresh_token":"refresh-)" + std::to_string(issued + 2) + "\"" : "";
    return FakeIdentityPlatform::Json(
        200, R"({"token_type":"Bearer","access_token":"access-)" + std::to_string(++issued) + R"(","expires_in":"3600")" + rotated + "}");
  };

  auto first = t.source();
  EXPECT_EQ(first->accessToken(false), "access-1");
  ASSERT_EQ(t.idp.requests.size(), 1u);
  EXPECT_EQ(t.idp.requests[0].url, "https://127.0.0.1:9/token");
  EXPECT_EQ(t.idp.requests[0].form.at("grant_type"), "refresh_token");
  EXPECT_EQ(t.idp.requests[0].form.at("client_id"), "client-1");
  EXPECT_EQ(t.idp.requests[0].form.count("client_secret"), 0u);

  t.now += 3000;  // 10 minutes left: still good for a session
  EXPECT_EQ(t.source()->accessToken(false), "access-1");
  EXPECT_EQ(t.idp.requests.size(), 1u);
  t.now += 400;  // under 5 minutes left
  EXPECT_EQ(t.source()->accessToken(false), "access-2");
  EXPECT_EQ(t.source()->accessToken(true), "access-3") << "after a refusal a new one, valid or not";

  rotate = true;
  EXPECT_EQ(t.source()->accessToken(true), "access-4");
  EXPECT_EQ(t.refreshTokenStored(), "refresh-5") << "the rotated refresh token replaces the old at once";
  rotate = false;
  EXPECT_EQ(t.source()->accessToken(true), "access-5");
  EXPECT_EQ(t.idp.requests.back().form.at("refresh_token"), "refresh-5");

  ASSERT_TRUE(TokenStore(t.dir.path()).save(t.key(), "revoked"));
  auto revoked = t.source();
  EXPECT_FALSE(revoked->accessToken(true));
  EXPECT_TRUE(revoked->loginNeeded());
  const std::string log = t.logged;
  EXPECT_NE(log.find("Вход OAuth для счета 0 (outlook.office365.com, me@office.test) больше не действует "
                     "(invalid_grant: AADSTS70000: revoked). Войдите заново: quelma --dir " +
                     t.dir.path() + " oauth login account 0"),
            std::string::npos)
      << platform::Cp1251ToUtf8(log);
  EXPECT_NE(log.find("новый маркер обновления"), std::string::npos);
  for (const char* secret : {"access-", "refresh-", "revoked\""}) EXPECT_EQ(log.find(secret), std::string::npos) << secret;
}

// A login asks for its token before connecting and again before AUTH: the platform hears
// of it once at most, and not at all while a token kept from an earlier login has more than
// its margin left (a short-lived token: half its life). A refused token that was new gets no
// renewal; one kept from before does.
TEST(AccessTokens, OneLoginAsksThePlatformOnceAtMost) {
  const struct Case {
    const char* name;
    int lifetime;     // seconds the platform gives each token
    int later;        // seconds between the first login and the second
    std::size_t requests;  // after both logins
    bool renewable;        // the second login's token, when its server refuses it
  } cases[] = {
      {"an hour's token, an hour later", 3600, 3600 - 301, 1, true},
      {"an hour's token near its end", 3600, 3600 - 300, 2, false},
      {"a four-minute token, a minute later", 240, 60, 1, true},
      {"a four-minute token past half its life", 240, 120, 2, false},
      {"a token of a minute", 60, 31, 2, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Tokens t;
    ASSERT_TRUE(TokenStore(t.dir.path()).save(t.key(), "refresh-1"));
    int issued = 0;
    t.idp.answer = [&](const FakeIdentityPlatform::Request&) {
      ++issued;
      return FakeIdentityPlatform::Json(200, R"({"token_type":"Bearer","access_token":"access-)" + std::to_string(issued) +
                                                 R"(","refresh_token":"refresh-)" + std::to_string(issued + 1) +
                                                 R"(","expires_in":)" + std::to_string(c.lifetime) + "}");
    };
    auto first = t.source();
    EXPECT_EQ(first->accessToken(false), "access-1") << "before connecting";
    EXPECT_EQ(first->accessToken(false), "access-1") << "before AUTH";
    EXPECT_FALSE(first->renewable()) << "a refusal of a new token is not mended by another";
    EXPECT_EQ(t.idp.requests.size(), 1u);
    t.now += c.later;
    auto second = t.source();
    const auto token = second->accessToken(false);
    EXPECT_EQ(second->accessToken(false), token);
    EXPECT_EQ(t.idp.requests.size(), c.requests);
    EXPECT_EQ(second->renewable(), c.renewable);
    if (c.renewable) {
      EXPECT_EQ(second->accessToken(true), "access-2") << "a kept token refused: a new one";
      EXPECT_FALSE(second->renewable());
    }
    EXPECT_EQ(t.refreshTokenStored(), "refresh-" + std::to_string(issued + 1)) << "each rotation kept";
  }
}

TEST(AccessTokens, NoTokenAndWhetherOnlyANewLoginHelps) {
  const struct Case {
    const char* name;
    bool stored;
    std::string tokenUrl;  // empty: the setting removed
    net::HttpsReply reply;
    bool loginNeeded;
    const char* logged;
  } cases[] = {
      {"never logged in", false, "https://127.0.0.1:9/token", {}, true, "не выполнен вход OAuth"},
      {"the platform out of reach", true, "https://127.0.0.1:9/token",
       {0, {}, net::HttpsFailure::kRefused, "соединение отвергнуто"}, false,
       "Не получен маркер доступа для счета 0 (outlook.office365.com, me@office.test): соединение отвергнуто"},
      {"a reply that is no JSON", true, "https://127.0.0.1:9/token", FakeIdentityPlatform::Json(502, "<html>"), false,
       "ответ сервера авторизации не понят (HTTP 502)"},
      {"a wrong client", true, "https://127.0.0.1:9/token",
       FakeIdentityPlatform::Json(401, R"({"error":"invalid_client","error_description":"bad\r\nline"})"), false,
       "Сервер авторизации отказал в маркере доступа для счета 0 (outlook.office365.com, me@office.test): "
       "invalid_client: bad??line"},
      {"no access token in the reply", true, "https://127.0.0.1:9/token",
       FakeIdentityPlatform::Json(200, R"({"token_type":"Bearer"})"), false, "нет маркера доступа"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Tokens t;
    if (c.stored) TokenStore(t.dir.path()).save(t.key(), "refresh-1");
    t.idp.answer = [&](const FakeIdentityPlatform::Request&) { return c.reply; };
    auto source = t.source();
    EXPECT_FALSE(source->accessToken(false));
    EXPECT_EQ(source->loginNeeded(), c.loginNeeded);
    EXPECT_NE(t.logged.find(c.logged), std::string::npos) << platform::Cp1251ToUtf8(t.logged);
  }
  Tokens unknown;
  unknown.config.accounts[0].server = "pop.yandex.ru";
  EXPECT_FALSE(unknown.source()->accessToken(false));
  EXPECT_NE(unknown.logged.find("задайте oauth=microsoft или oauth=google"), std::string::npos);
  EXPECT_TRUE(unknown.idp.requests.empty());
}

TEST(TokenStore, KeepsEachLoginApartAndItsFileWhole) {
  TempDir dir;
  TokenStore store(dir.path());
  std::string token;
  EXPECT_EQ(store.refreshToken("pop3 a b", token), TokenStore::Read::kMissing) << "no file yet";
  ASSERT_TRUE(store.save(Pop3LoginKey("pop.a", "логин"), "one"));
  ASSERT_TRUE(store.save(SmtpLoginKey("pop.a", "логин"), "two"));
  ASSERT_TRUE(store.save(Pop3LoginKey("pop.a", "логин"), "three"));
  EXPECT_EQ(TokenStore(dir.path()).refreshToken(Pop3LoginKey("POP.A", "логин"), token), TokenStore::Read::kFound);
  EXPECT_EQ(token, "three");
  EXPECT_EQ(store.refreshToken(SmtpLoginKey("pop.a", "логин"), token), TokenStore::Read::kFound);
  EXPECT_EQ(token, "two");
  ASSERT_TRUE(store.remove(SmtpLoginKey("pop.a", "логин")));
  EXPECT_EQ(store.refreshToken(SmtpLoginKey("pop.a", "логин"), token), TokenStore::Read::kMissing);
  EXPECT_EQ(ReadAll(store.path() + ".tmp"), "<missing>") << "no work file left";
#ifndef _WIN32
  struct stat info {};
  ASSERT_EQ(stat(store.path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u) << "for the owner alone";
#else
  EXPECT_EQ(ReadAll(store.path()).find("three"), std::string::npos) << "sealed for the user";
#endif
  WriteAll(store.path(), "\x01garbage");
  EXPECT_EQ(store.refreshToken(Pop3LoginKey("pop.a", "логин"), token), TokenStore::Read::kUnreadable);
  ASSERT_TRUE(store.save("smtp x y", "four")) << "an unreadable file is replaced by a new login";
  EXPECT_EQ(store.refreshToken("smtp x y", token), TokenStore::Read::kFound);
}

}  // namespace
}  // namespace quelma::oauth
