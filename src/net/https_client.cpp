// HttpsPost's portable half: the URL rule before any connection, the time-out's default, the
// reply's bound, and the log line for each failure. The exchange is the platform's.
#include <algorithm>

#include "net/https_transport.h"

namespace quelma::net {
namespace {

// Shown in the log as printable ASCII, cut short: a URL or a library's words never bring
// line breaks or control bytes into the log.
std::string Shown(std::string_view text, std::size_t limit = 200) {
  std::string shown(text.substr(0, std::min(text.size(), limit)));
  for (char& c : shown) {
    if (c < ' ' || c == 0x7F) c = '?';
  }
  return text.size() > limit ? shown + "..." : shown;
}

std::string Duration(std::uint32_t milliseconds) {
  if (milliseconds % 1000 == 0) return std::to_string(milliseconds / 1000) + " с";
  return std::to_string(milliseconds) + " мс";
}

}  // namespace

std::string HttpsFailureText(HttpsFailure failure, std::string_view url, const HttpsUrl* parts,
                             const HttpsOptions& options, std::string_view detail) {
  const std::string host = "\"" + Shown(parts ? std::string_view(parts->host) : url) + "\"";
  const std::string port = parts ? std::to_string(parts->port) : "?";
  const std::string why = detail.empty() ? "" : " (" + Shown(detail) + ")";
  std::string text;
  switch (failure) {
    case HttpsFailure::kNone: return {};
    case HttpsFailure::kBadUrl: text = "адрес \"" + Shown(url) + "\" не годится для HTTPS"; break;
    case HttpsFailure::kPlainNotLocal:
      text = "адрес \"" + Shown(url) +
             "\" без шифрования (http://) допустим только для этого компьютера (localhost, 127.0.0.1, ::1), "
             "соединение не устанавливалось";
      break;
    case HttpsFailure::kResolve: text = "узел " + host + " не найден"; break;
    case HttpsFailure::kRefused: text = "узел " + host + " отверг соединение на порт " + port; break;
    case HttpsFailure::kConnect: text = "не удалось соединиться с " + host + " на порт " + port; break;
    case HttpsFailure::kTimeout: text = "узел " + host + " не ответил за " + Duration(options.timeoutMs); break;
    case HttpsFailure::kCaFile:
      text = "не могу взять доверенные сертификаты из файла \"" + Shown(options.caFile) + "\"";
      break;
    case HttpsFailure::kUntrusted:
      text = "сертификат сервера " + host + " выдан неизвестным издателем";
      if (!options.caFile.empty()) text += ", которого нет и в файле \"" + Shown(options.caFile) + "\"";
      break;
    case HttpsFailure::kExpired: text = "сертификат сервера " + host + " сейчас недействителен"; break;
    case HttpsFailure::kHostName: text = "сертификат сервера выдан не для " + host; break;
    case HttpsFailure::kTls: text = "не удалось установить защищенное соединение с " + host; break;
    case HttpsFailure::kTooLarge:
      text = "ответ узла " + host + " длиннее " + std::to_string(kHttpsBodyLimit / (1024 * 1024)) + " МБ, не принят";
      break;
    case HttpsFailure::kBroken: text = "соединение с " + host + " оборвалось или ответ не по протоколу HTTP"; break;
    case HttpsFailure::kOther: text = "ошибка обмена с " + host; break;
  }
  return "HTTPS: " + text + why;
}

HttpsReply HttpsPost(const std::string& url, const std::string& formBody, const HttpsOptions& options) {
  HttpsOptions bounded = options;
  if (bounded.timeoutMs == 0) bounded.timeoutMs = HttpsOptions{}.timeoutMs;
  HttpsReply reply;
  std::string reason;
  const std::optional<HttpsUrl> parts = ParseHttpsUrl(url, reply.failure, reason);
  if (!parts) {
    // The refusal of plain http:// says all there is in its own words.
    if (reply.failure == HttpsFailure::kPlainNotLocal) reason.clear();
    reply.error = HttpsFailureText(reply.failure, url, nullptr, bounded, reason);
    return reply;
  }
  HttpsExchange exchange = PostForm(*parts, formBody, bounded);
  if (exchange.failure == HttpsFailure::kNone && exchange.body.size() > kHttpsBodyLimit) {
    exchange.failure = HttpsFailure::kTooLarge;
  }
  if (exchange.failure == HttpsFailure::kNone && exchange.status <= 0) {
    exchange.failure = HttpsFailure::kBroken;
  }
  if (exchange.failure != HttpsFailure::kNone) {
    reply.failure = exchange.failure;
    reply.error = HttpsFailureText(exchange.failure, url, &*parts, bounded, exchange.detail);
    return reply;
  }
  reply.status = exchange.status;
  reply.body = std::move(exchange.body);
  return reply;
}

}  // namespace quelma::net
