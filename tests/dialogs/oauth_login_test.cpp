// The first OAuth login of the account and SMTP login dialogs, against a scripted token endpoint.
#include "dialogs/oauth_login.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>

#include "dialogs/dialog_fixture.h"
#include "oauth/token_store.h"
#include "support/loopback_server.h"
#include "support/temp_dir.h"

namespace quelma::dialogs {
namespace {

using Outcome = oauth::FirstLoginResult::Outcome;

// The endpoints' replies by URL, in turn (the last one repeats); every request kept.
struct ScriptedEndpoints {
  std::map<std::string, std::deque<net::HttpsReply>> replies;
  struct Request {
    std::string url, form;
    net::HttpsOptions options;
  };
  std::vector<Request> requests;

  oauth::HttpsPoster poster() {
    return [this](const std::string& url, const std::string& form, const net::HttpsOptions& options) {
      requests.push_back({url, form, options});
      auto& queue = replies[url];
      if (queue.empty()) return net::HttpsReply{0, "", net::HttpsFailure::kRefused, "соединение отвергнуто"};
      net::HttpsReply reply = queue.front();
      if (queue.size() > 1) queue.pop_front();
      return reply;
    };
  }
};

net::HttpsReply Json(long status, std::string body) { return {status, std::move(body), net::HttpsFailure::kNone, ""}; }

constexpr char kMicrosoftDevice[] = "https://login.microsoftonline.com/common/oauth2/v2.0/devicecode";
constexpr char kMicrosoftToken[] = "https://login.microsoftonline.com/common/oauth2/v2.0/token";
const net::HttpsReply kDeviceCode = Json(200, R"({"device_code":"dev-1","user_code":"ABCD-EFGH",
    "verification_uri":"https://microsoft.com/devicelogin","expires_in":900,"interval":5})");
const net::HttpsReply kPending = Json(400, R"({"error":"authorization_pending"})");
const net::HttpsReply kTokens = Json(200, R"({"access_token":"at","refresh_token":"rt-1","expires_in":3600})");

AccountFields MicrosoftAccount() {
  return {"outlook.office365.com", "me@office.ru", "", "", "995", false, 0, 2, "", 1, ""};
}

config::Configuration WithSettings(std::map<std::string, std::string> settings) {
  config::Configuration c;
  c.oauthSettings = std::move(settings);
  c.TLS_CA_FILE = "/etc/ssl/office-ca.pem";
  return c;
}

std::string StoredToken(const std::string& dir, const std::string& key) {
  std::string token;
  return oauth::TokenStore(dir).refreshToken(key, token) == oauth::TokenStore::Read::kFound ? token : "<none>";
}

// Nothing is asked of any server while a setting the login needs is missing.
TEST(OauthFirstLogin, ProblemsBeforeAnyRequest) {
  const std::map<std::string, std::string> microsoft{{"OAUTH_MICROSOFT_CLIENT_ID", "client-1"}};
  const struct Case {
    const char* what;
    bool smtp;
    AccountFields account;
    SmtpLoginFields login;
    std::map<std::string, std::string> settings;
    const char* problem;  // part of the message
  } cases[] = {
      {"password login", false, {"outlook.office365.com", "me", "pw", "pw", "995", false, 0, 2, "", 0, ""}, {}, microsoft,
       "XOAUTH2 или OAUTHBEARER"},
      {"no login", false, {"outlook.office365.com", " ", "", "", "995", false, 0, 2, "", 1, ""}, {}, microsoft,
       "сервер и логин"},
      {"no client id", false, MicrosoftAccount(), {}, {}, "OAUTH_MICROSOFT_CLIENT_ID"},
      {"unknown server", false, {"mail.office.ru", "me", "", "", "995", false, 0, 2, "", 1, ""}, {}, microsoft,
       "mail.office.ru"},
      {"undefined platform", false, {"mail.office.ru", "me", "", "", "995", false, 0, 2, "", 1, "office"}, {}, microsoft,
       "OAUTH_OFFICE_TOKEN_URL"},
      {"bad platform name", false, {"mail.office.ru", "me", "", "", "995", false, 0, 2, "", 1, "my office"}, {}, microsoft,
       "латинских букв"},
      {"SMTP login off", true, {}, {"me@gmail.com", "", "", false, 1, "google"}, {{"OAUTH_GOOGLE_CLIENT_ID", "g"}},
       "XOAUTH2 или OAUTHBEARER"},
      {"SMTP without client id", true, {}, {"me@gmail.com", "", "", true, 1, ""}, {}, "OAUTH_GOOGLE_CLIENT_ID"},
  };
  for (const Case& c : cases) {
    testing::TempDir dir;
    ScriptedEndpoints endpoints;
    const config::Configuration config = WithSettings(c.settings);
    OauthFirstLogin login = c.smtp ? OauthFirstLogin::ForSmtp(config, dir.path(), {"smtp.gmail.com", "465", 2, ""}, c.login,
                                                              endpoints.poster())
                                   : OauthFirstLogin::ForAccount(config, dir.path(), c.account, endpoints.poster());
    ASSERT_TRUE(login.problem()) << c.what;
    EXPECT_EQ(login.problem()->icon, Icon::kError);
    EXPECT_NE(login.problem()->text.find(c.problem), std::string::npos) << c.what << ": " << login.problem()->text;
    const auto result = login.run([](const oauth::DeviceLoginPrompt&) {}, [](const std::string&) {},
                                  [](std::uint32_t) { return true; });
    EXPECT_EQ(result.outcome, Outcome::kFailed) << c.what;
    EXPECT_TRUE(endpoints.requests.empty()) << c.what;
  }
}

// The device flow of an account and of the SMTP login: the code shown, polled until agreed,
// the refresh token stored under the key of the login as it is on screen.
TEST(OauthFirstLogin, DeviceFlowStoresTheRefreshToken) {
  const struct Case {
    bool smtp;
    std::map<std::string, std::string> settings;
    const char* deviceUrl;
    const char* tokenUrl;
    std::string key;
  } cases[] = {
      {false, {{"OAUTH_MICROSOFT_CLIENT_ID", "client-1"}}, kMicrosoftDevice, kMicrosoftToken,
       oauth::Pop3LoginKey("outlook.office365.com", "me@office.ru")},
      {true,
       {{"OAUTH_OFFICE_TOKEN_URL", "https://sso.office.ru/token"},
        {"OAUTH_OFFICE_DEVICE_URL", "https://sso.office.ru/device"},
        {"OAUTH_OFFICE_CLIENT_ID", "client-1"}},
       "https://sso.office.ru/device", "https://sso.office.ru/token", oauth::SmtpLoginKey("smtp.office.ru", "me@office.ru")},
  };
  for (const Case& c : cases) {
    testing::TempDir dir;
    ScriptedEndpoints endpoints;
    endpoints.replies[c.deviceUrl] = {kDeviceCode};
    endpoints.replies[c.tokenUrl] = {kPending, kPending, kTokens};
    const config::Configuration config = WithSettings(c.settings);
    OauthFirstLogin login =
        c.smtp ? OauthFirstLogin::ForSmtp(config, dir.path(), {" smtp.office.ru", "465", 2, ""},
                                          {"me@office.ru", "", "", true, 2, "office"}, endpoints.poster())
               : OauthFirstLogin::ForAccount(config, dir.path(), MicrosoftAccount(), endpoints.poster());
    ASSERT_FALSE(login.problem()) << login.problem()->text;
    EXPECT_EQ(login.flow(), oauth::FirstLogin::kDevice);
    std::vector<oauth::DeviceLoginPrompt> shown;
    int pauses = 0;
    const auto result = login.run([&](const oauth::DeviceLoginPrompt& p) { shown.push_back(p); },
                                  [](const std::string&) { ADD_FAILURE() << "no browser in the device flow"; },
                                  [&](std::uint32_t) { return ++pauses < 100; });
    EXPECT_EQ(result.outcome, Outcome::kDone) << result.problem;
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].userCode, "ABCD-EFGH");
    EXPECT_EQ(shown[0].verificationUri, "https://microsoft.com/devicelogin");
    EXPECT_EQ(StoredToken(dir.path(), c.key), "rt-1");
    ASSERT_EQ(endpoints.requests.size(), 4u);
    EXPECT_NE(endpoints.requests[0].form.find("client_id=client-1"), std::string::npos);
    EXPECT_EQ(endpoints.requests[3].options.caFile, "/etc/ssl/office-ca.pem") << "the settings' extra certificates";
    const auto message = OauthLoginOutcome(result);
    ASSERT_TRUE(message);
    EXPECT_EQ(message->icon, Icon::kInformation);
    EXPECT_NE(message->text.find("oauth.tokens"), std::string::npos);
  }
}

TEST(OauthFirstLogin, OutcomesOtherThanSuccess) {
  const struct Case {
    std::deque<net::HttpsReply> device, token;
    bool cancel;
    Outcome outcome;
    const char* message;  // part of it; nullptr: no message box
  } cases[] = {
      {{kDeviceCode}, {kPending, Json(400, R"({"error":"access_denied"})")}, false, Outcome::kDenied, "отказал в доступе"},
      {{kDeviceCode}, {kPending}, true, Outcome::kCancelled, nullptr},
      {{}, {}, false, Outcome::kFailed, "код устройства не получен"},
      {{kDeviceCode}, {Json(200, R"({"access_token":"at","expires_in":3600})")}, false, Outcome::kFailed, "offline_access"},
  };
  for (const Case& c : cases) {
    testing::TempDir dir;
    ScriptedEndpoints endpoints;
    endpoints.replies[kMicrosoftDevice] = c.device;
    endpoints.replies[kMicrosoftToken] = c.token;
    OauthFirstLogin login = OauthFirstLogin::ForAccount(WithSettings({{"OAUTH_MICROSOFT_CLIENT_ID", "client-1"}}),
                                                        dir.path(), MicrosoftAccount(), endpoints.poster());
    int pauses = 0;
    const auto result = login.run([](const oauth::DeviceLoginPrompt&) {}, [](const std::string&) {},
                                  [&](std::uint32_t) { return !(c.cancel && pauses > 0) && ++pauses < 100; });
    EXPECT_EQ(result.outcome, c.outcome) << result.problem;
    EXPECT_EQ(StoredToken(dir.path(), oauth::Pop3LoginKey("outlook.office365.com", "me@office.ru")), "<none>");
    const auto message = OauthLoginOutcome(result);
    if (!c.message) {
      EXPECT_FALSE(message) << "the user's own Cancel needs no box";
      continue;
    }
    ASSERT_TRUE(message);
    EXPECT_EQ(message->icon, Icon::kError);
    EXPECT_NE(message->text.find(c.message), std::string::npos) << message->text;
  }
}

// The value of `name` in a URL's query, %XX decoded.
std::string QueryValue(const std::string& url, const std::string& name) {
  const std::size_t at = url.find("&" + name + "=") != std::string::npos ? url.find("&" + name + "=") + 1
                                                                          : url.find("?" + name + "=") + 1;
  if (at == 0) return {};
  const std::size_t start = at + name.size() + 1;
  const std::string raw = url.substr(start, url.find('&', start) - start);
  std::string value;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '%' && i + 2 < raw.size()) {
      value.push_back(static_cast<char>(std::stoi(raw.substr(i + 1, 2), nullptr, 16)));
      i += 2;
    } else {
      value.push_back(raw[i]);
    }
  }
  return value;
}

// Google's login: the browser sent to the authorisation URL comes back to 127.0.0.1 with a
// code, which is exchanged for the tokens.
TEST(OauthFirstLogin, BrowserFlowForGoogle) {
  testing::TempDir dir;
  ScriptedEndpoints endpoints;
  endpoints.replies["https://oauth2.googleapis.com/token"] = {kTokens};
  OauthFirstLogin login = OauthFirstLogin::ForAccount(
      WithSettings({{"OAUTH_GOOGLE_CLIENT_ID", "g-client"}}), dir.path(),
      {"pop.gmail.com", "office@gmail.com", "", "", "995", false, 0, 2, "", 1, ""}, endpoints.poster());
  ASSERT_FALSE(login.problem());
  EXPECT_EQ(login.flow(), oauth::FirstLogin::kLoopback);
  std::string opened;
  std::optional<testing::Client> browser;
  const auto result = login.run([](const oauth::DeviceLoginPrompt&) { ADD_FAILURE() << "no code in the browser flow"; },
                                [&](const std::string& url) {
                                  opened = url;
                                  const std::string redirect = QueryValue(url, "redirect_uri");
                                  const std::size_t colon = redirect.rfind(':');
                                  browser.emplace(static_cast<std::uint16_t>(std::stoi(redirect.substr(colon + 1))));
                                  browser->send("GET /?state=" + QueryValue(url, "state") + "&code=c-1 HTTP/1.1\r\n\r\n");
                                },
                                [](std::uint32_t) { return true; });
  EXPECT_EQ(result.outcome, Outcome::kDone) << result.problem;
  EXPECT_TRUE(opened.starts_with("https://accounts.google.com/o/oauth2/v2/auth?")) << opened;
  EXPECT_EQ(QueryValue(opened, "client_id"), "g-client");
  ASSERT_TRUE(browser && browser->connected());
  EXPECT_NE(browser->readUntil("</html>").find("200 OK"), std::string::npos);
  EXPECT_EQ(StoredToken(dir.path(), oauth::Pop3LoginKey("pop.gmail.com", "office@gmail.com")), "rt-1");
  ASSERT_EQ(endpoints.requests.size(), 1u);
  EXPECT_NE(endpoints.requests[0].form.find("code=c-1"), std::string::npos);
}

}  // namespace
}  // namespace quelma::dialogs
