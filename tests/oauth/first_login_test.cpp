// The first authorisation of a login: the device flow's polling (pending, slow down, agreed,
// refused, expired) and the loopback redirect with PKCE, played by a browser on a socket.
#include <gtest/gtest.h>

#include <thread>

#include "codec/base64.h"
#include "net/crypto.h"
#include "net/plain_stream.h"
#include "oauth/fake_identity_platform.h"
#include "oauth/first_login.h"
#include "platform/socket.h"
#include "support/temp_dir.h"

namespace quelma::oauth {
namespace {

using Outcome = FirstLoginResult::Outcome;

OauthPlatform Platform(FirstLogin flow) {
  return {"office", "https://idp.test/devicecode", "https://idp.test/authorize", "https://idp.test/token",
          "client-1", {}, "offline_access mail", flow};
}

TEST(DeviceLogin, PollsAtTheIntervalUntilTheUserDecides) {
  const std::string device = R"({"device_code":"dev-1","user_code":"ABCD-EFGH","verification_uri":"https://idp.test/device","expires_in":"60","interval":2})";
  const struct Case {
    const char* name;
    std::vector<std::string> polls;  // the token endpoint's replies, in turn
    Outcome outcome;
    std::vector<std::uint32_t> pauses;
    bool stored;
  } cases[] = {
      {"agreed after two polls", {R"({"error":"authorization_pending"})", R"({"access_token":"a","refresh_token":"r-1"})"},
       Outcome::kDone, {2000, 2000}, true},
      {"slow down adds five seconds", {R"({"error":"slow_down"})", R"({"access_token":"a","refresh_token":"r-1"})"},
       Outcome::kDone, {2000, 7000}, true},
      {"refused", {R"({"error":"access_denied"})"}, Outcome::kDenied, {2000}, false},
      {"the code expired at the platform", {R"({"error":"expired_token"})"}, Outcome::kExpired, {2000}, false},
      {"no refresh token", {R"({"access_token":"a"})"}, Outcome::kFailed, {2000}, false},
      {"the code's time runs out here", std::vector<std::string>(40, R"({"error":"authorization_pending"})"),
       Outcome::kExpired, std::vector<std::uint32_t>(30, 2000), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    quelma::testing::TempDir dir;
    FakeIdentityPlatform idp;
    std::size_t poll = 0;
    idp.answer = [&](const FakeIdentityPlatform::Request& r) {
      if (r.url.ends_with("/devicecode")) return FakeIdentityPlatform::Json(200, device);
      EXPECT_EQ(r.form.at("device_code"), "dev-1");
      EXPECT_EQ(r.form.at("grant_type"), "urn:ietf:params:oauth:grant-type:device_code");
      const std::string& reply = c.polls.at(std::min(poll++, c.polls.size() - 1));
      return FakeIdentityPlatform::Json(reply.find("error") != std::string::npos ? 400 : 200, reply);
    };
    TokenEndpoint endpoint(Platform(FirstLogin::kDevice), {}, idp.poster());
    TokenStore store(dir.path());
    DeviceLoginPrompt shown;
    std::vector<std::uint32_t> pauses;
    const FirstLoginResult result = RunDeviceLogin(
        endpoint, store, "pop3 a b", [&](const DeviceLoginPrompt& p) { shown = p; },
        [&](std::uint32_t ms) { pauses.push_back(ms); return true; });
    EXPECT_EQ(result.outcome, c.outcome) << result.problem;
    EXPECT_EQ(pauses, c.pauses);
    EXPECT_EQ(shown.userCode, "ABCD-EFGH");
    EXPECT_EQ(shown.verificationUri, "https://idp.test/device");
    EXPECT_EQ(idp.requests.front().form.at("scope"), "offline_access mail");
    std::string token;
    EXPECT_EQ(store.refreshToken("pop3 a b", token) == TokenStore::Read::kFound, c.stored);
    if (c.stored) {
      EXPECT_EQ(token, "r-1");
    }
  }
}

// A browser that follows the authorisation URL: it takes redirect_uri and state from it and
// asks the loopback address for `path` with them (or with what the test puts in their place).
std::string Browse(const std::string& url, const std::string& query) {
  const auto field = [&](const std::string& name) {
    const std::size_t at = url.find(name + "=");
    const std::size_t end = url.find('&', at);
    return FakeIdentityPlatform::Decode(url.substr(at, end - at)).at(name);
  };
  const std::string redirect = field("redirect_uri");
  const auto port = static_cast<std::uint16_t>(std::stoi(redirect.substr(redirect.rfind(':') + 1)));
  std::string request = query;
  for (const std::string name : {"STATE"}) {
    if (const std::size_t at = request.find(name); at != std::string::npos) request.replace(at, name.size(), field("state"));
  }
  platform::Socket socket = platform::Socket::CreateTcp();
  socket.setReceiveTimeout(10000);
  if (!socket.connect(platform::IpAddress::V4(platform::kLoopbackAddress), port)) return "<no connection>";
  socket.sendAll("GET " + request + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  std::string answer;
  char buffer[4096];
  for (long n; (n = socket.receive(buffer, sizeof buffer)) > 0;) answer.append(buffer, static_cast<std::size_t>(n));
  return answer;
}

TEST(LoopbackLogin, TheBrowsersCodeIsExchangedWithTheVerifier) {
  const struct Case {
    const char* name;
    std::vector<std::string> requests;  // what the browser asks for, in turn
    Outcome outcome;
    bool stored;
  } cases[] = {
      {"agreed", {"/?code=code%2F1&state=STATE"}, Outcome::kDone, true},
      {"a favicon and a foreign state first are ignored",
       {"/favicon.ico", "/?code=evil&state=someone-else", "/?code=code%2F1&state=STATE"}, Outcome::kDone, true},
      {"refused", {"/?error=access_denied&error_description=no+thanks&state=STATE"}, Outcome::kDenied, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    quelma::testing::TempDir dir;
    FakeIdentityPlatform idp;
    std::string challenge;
    idp.answer = [&](const FakeIdentityPlatform::Request& r) {
      EXPECT_EQ(r.form.at("code"), "code/1");
      EXPECT_EQ(codec::Base64UrlEncode(net::Sha256Of(r.form.at("code_verifier"))), challenge) << "PKCE";
      EXPECT_TRUE(r.form.at("redirect_uri").starts_with("http://127.0.0.1:"));
      return FakeIdentityPlatform::Json(200, R"({"access_token":"a","refresh_token":"r-2","expires_in":3600})");
    };
    TokenEndpoint endpoint(Platform(FirstLogin::kLoopback), {}, idp.poster());
    TokenStore store(dir.path());
    std::vector<std::string> pages;
    std::thread browser;
    const FirstLoginResult result = RunLoopbackLogin(
        endpoint, store, "smtp a b",
        [&](const std::string& url) {
          EXPECT_TRUE(url.starts_with("https://idp.test/authorize?response_type=code&client_id=client-1&redirect_uri="));
          EXPECT_NE(url.find("code_challenge_method=S256"), std::string::npos);
          const std::size_t at = url.find("code_challenge=") + 15;
          challenge = url.substr(at, url.find('&', at) - at);
          browser = std::thread([&, url] {
            for (const std::string& request : c.requests) pages.push_back(Browse(url, request));
          });
        },
        20000, [](std::uint32_t) { return true; });
    browser.join();
    EXPECT_EQ(result.outcome, c.outcome) << result.problem;
    ASSERT_EQ(pages.size(), c.requests.size());
    EXPECT_TRUE(pages.back().starts_with("HTTP/1.1 200 OK\r\n")) << pages.back();
    if (pages.size() > 1) {
      EXPECT_TRUE(pages.front().starts_with("HTTP/1.1 404")) << pages.front();
    }
    std::string token;
    EXPECT_EQ(store.refreshToken("smtp a b", token) == TokenStore::Read::kFound, c.stored);
    EXPECT_EQ(idp.requests.size(), c.stored ? 1u : 0u);
  }
}

}  // namespace
}  // namespace quelma::oauth
