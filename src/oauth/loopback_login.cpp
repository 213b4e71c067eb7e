// The loopback redirect: a listening socket on 127.0.0.1 at a port the system picks, the
// authorisation URL with a PKCE challenge and a random state, then the browser's one request
// with the code, which is exchanged with the verifier. A request whose state is not ours is
// answered and ignored.
#include <optional>

#include "codec/base64.h"
#include "net/crypto.h"
#include "net/https_client.h"
#include "net/listener.h"
#include "oauth/first_login.h"
#include "platform/text.h"

namespace quelma::oauth {
namespace {

using Outcome = FirstLoginResult::Outcome;

constexpr std::size_t kLongestRequest = 16 * 1024;

struct Redirect {
  bool isCallback = false;  // a request for "/" (a browser also asks for "/favicon.ico")
  std::string code, state, error, errorDescription;
};

std::string Unescaped(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out.push_back(' ');
    } else if (text[i] == '%' && i + 2 < text.size() && platform::HexDigitValue(text[i + 1]) >= 0 &&
               platform::HexDigitValue(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(platform::HexDigitValue(text[i + 1]) * 16 + platform::HexDigitValue(text[i + 2])));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

// "GET /?code=...&state=... HTTP/1.1".
Redirect ParseRequestLine(std::string_view line) {
  Redirect redirect;
  if (!line.starts_with("GET ")) return redirect;
  std::string_view target = line.substr(4, line.find(' ', 4) == std::string_view::npos ? std::string_view::npos
                                                                                         : line.find(' ', 4) - 4);
  const std::size_t question = target.find('?');
  redirect.isCallback = target.substr(0, question) == "/";
  if (question == std::string_view::npos) return redirect;
  std::string_view query = target.substr(question + 1);
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    const std::size_t eq = pair.find('=');
    const std::string_view name = pair.substr(0, eq);
    const std::string value = eq == std::string_view::npos ? std::string() : Unescaped(pair.substr(eq + 1));
    if (name == "code") redirect.code = value;
    if (name == "state") redirect.state = value;
    if (name == "error") redirect.error = platform::Printable(value, 100);
    if (name == "error_description") redirect.errorDescription = platform::Printable(value, 300);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
  }
  return redirect;
}

// The request line of one connection, read up to its end or the limit.
std::optional<std::string> ReadRequestLine(net::PlainStream& stream) {
  std::string request;
  char buffer[2048];
  while (request.find("\r\n") == std::string::npos && request.size() < kLongestRequest) {
    const long n = stream.receive(buffer, sizeof buffer);
    if (n <= 0) return std::nullopt;
    request.append(buffer, static_cast<std::size_t>(n));
  }
  const std::size_t end = request.find("\r\n");
  if (end == std::string::npos) return std::nullopt;
  return request.substr(0, end);
}

void Answer(net::PlainStream& stream, const char* status, const std::string& text) {
  const std::string page = "<!DOCTYPE html><html><head><meta charset=\"windows-1251\"><title>Quelmar Mail Server</title>"
                           "</head><body><p>" + text + "</p></body></html>";
  stream.sendAll(std::string("HTTP/1.1 ") + status + "\r\nContent-Type: text/html; charset=windows-1251\r\n"
                 "Content-Length: " + std::to_string(page.size()) + "\r\nConnection: close\r\nCache-Control: no-store\r\n\r\n" + page);
  stream.close();
}

std::string AuthorizationUrl(const OauthPlatform& platform, const std::string& redirectUri, const std::string& state,
                             const std::string& challenge) {
  const auto field = [](const char* name, const std::string& value) { return std::string(name) + "=" + net::FormEscape(value); };
  std::string url = platform.authorizeUrl + (platform.authorizeUrl.find('?') == std::string::npos ? "?" : "&");
  url += field("response_type", "code") + "&" + field("client_id", platform.clientId) + "&" +
         field("redirect_uri", redirectUri) + "&" + field("scope", platform.scopes) + "&" + field("state", state) + "&" +
         field("code_challenge", challenge) + "&" + field("code_challenge_method", "S256");
  // Google gives a refresh token only when asked for offline access, and again only with consent.
  if (platform.name == "google") url += "&access_type=offline&prompt=consent";
  return url;
}

}  // namespace

FirstLoginResult RunLoopbackLogin(const TokenEndpoint& endpoint, TokenStore& store, const std::string& key,
                                  const std::function<void(const std::string& url)>& open, std::uint32_t timeoutMs,
                                  const Pause& pause) {
  const OauthPlatform& platform = endpoint.platform();
  if (platform.authorizeUrl.empty()) {
    return {Outcome::kFailed, "у сервера авторизации \"" + platform.name + "\" нет входа через браузер"};
  }
  const auto verifierBytes = net::RandomBytes(32);
  const auto stateBytes = net::RandomBytes(16);
  if (!verifierBytes || !stateBytes) return {Outcome::kFailed, "генератор случайных чисел системы не работает"};
  const std::string verifier = codec::Base64UrlEncode(*verifierBytes);
  const std::string state = codec::Base64UrlEncode(*stateBytes);
  net::Listener listener;
  if (listener.open(platform::IpAddress::V4(platform::kLoopbackAddress), 0, 8) != net::ListenFailure::kNone) {
    return {Outcome::kFailed, "не могу открыть порт на 127.0.0.1 для ответа браузера"};
  }
  const std::string redirectUri = "http://127.0.0.1:" + std::to_string(listener.localPort().value_or(0)) + "/";
  open(AuthorizationUrl(platform, redirectUri, state, codec::Base64UrlEncode(net::Sha256Of(verifier))));
  for (std::uint32_t waited = 0; waited < timeoutMs;) {
    std::optional<net::PlainStream> browser = listener.accept();  // waits a second at most
    if (!browser) {
      waited += 1000;
      if (!pause(0)) return {Outcome::kCancelled, "вход прерван"};
      continue;
    }
    browser->setReceiveTimeout(5000);
    browser->setSendTimeout(5000);
    const std::optional<std::string> line = ReadRequestLine(*browser);
    const Redirect redirect = line ? ParseRequestLine(*line) : Redirect{};
    if (!redirect.isCallback || redirect.state != state) {
      Answer(*browser, "404 Not Found", "Not found.");
      continue;
    }
    if (!redirect.error.empty()) {
      Answer(*browser, "200 OK", "Доступ не предоставлен. Окно можно закрыть.");
      return {Outcome::kDenied, "в доступе отказано: " + redirect.error +
                                    (redirect.errorDescription.empty() ? "" : " (" + redirect.errorDescription + ")")};
    }
    const TokenOutcome outcome = endpoint.exchangeCode(redirect.code, verifier, redirectUri);
    if (outcome.kind != TokenOutcome::Kind::kToken || outcome.refreshToken.empty()) {
      Answer(*browser, "200 OK", "Вход не выполнен. Подробности в окне программы.");
      return {Outcome::kFailed, outcome.kind == TokenOutcome::Kind::kToken
                                    ? "сервер авторизации не выдал маркер обновления"
                                    : "код не обменян на маркеры: " + outcome.description};
    }
    if (!store.save(key, outcome.refreshToken)) {
      Answer(*browser, "200 OK", "Вход не выполнен. Подробности в окне программы.");
      return {Outcome::kFailed, "не могу записать " + store.path()};
    }
    Answer(*browser, "200 OK", "Вход выполнен: Quelmar Mail Server получил доступ к почте. Окно можно закрыть.");
    return {Outcome::kDone, {}};
  }
  return {Outcome::kExpired, "браузер не вернулся с кодом, вход не выполнен"};
}

}  // namespace quelma::oauth
