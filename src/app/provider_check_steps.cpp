// The provider checks' shared steps: lookup, connect, TLS, and the reading of replies.
#include "app/provider_check_steps.h"

#include <cstdio>

#include "net/certificate_names.h"
#include "net/tls_log_text.h"
#include "platform/socket.h"
#include "platform/text.h"

namespace quelma::app {
namespace {

// Winsock's numbers, as platform::LastSocketError reports them everywhere.
constexpr int kConnectionRefused = 10061;

std::string Joined(const std::vector<std::string>& items, const char* separator) {
  std::string out;
  for (const std::string& item : items) out += (out.empty() ? "" : separator) + item;
  return out;
}

// Days from 1970-01-01 to the given date of the Gregorian calendar.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

std::string CertificateDetail(const net::TlsOutcome& outcome) {
  std::string detail;
  if (!outcome.protocol.empty()) detail += outcome.protocol + ", " + outcome.cipher + "\n";
  if (outcome.chain.empty()) return detail;
  const net::CertificateInfo& c = outcome.chain.front();
  detail += "сертификат: " + c.subject + "\nиздатель: " + c.issuer + "\nимена: " + Joined(c.names, ", ") +
            "\nдействует с " + c.notBefore + " по " + c.notAfter + "\nSHA-256: " + c.sha256;
  return detail;
}

std::string TlsFailureHint(const net::TlsOutcome& outcome, const net::TlsClientSettings& settings,
                           const TlsHintWords& words) {
  const std::string sha = outcome.chain.empty() ? std::string("?") : outcome.chain.front().sha256;
  switch (outcome.failure) {
    case net::TlsFailure::kUntrusted:
      return "Сертификат сервера не ведет к доверенному. Если сервер свой или его сертификат выдан своим "
             "центром сертификации, укажите файл с сертификатом этого центра (PEM) как доверенный (TLS_CA_FILE) " +
             words.caFile + " или задайте отпечаток сертификата " + words.fingerprint + ": " + sha + ".";
    case net::TlsFailure::kHostName:
      return "Сертификат выдан для других имен. Укажите имя сервера так, как оно записано в сертификате, "
             "или узнайте у провайдера правильное имя сервера (сейчас \"" + settings.host + "\"); имя задается " +
             words.server + ".";
    case net::TlsFailure::kExpired:
      return "Срок действия сертификата сервера истек или еще не начался: сообщите провайдеру и проверьте "
             "дату и время на этом компьютере.";
    case net::TlsFailure::kPin:
      return "Сервер прислал сертификат с другим отпечатком (" + sha + "). Если провайдер сменил сертификат, "
             "задайте новый отпечаток " + words.fingerprint + "; если нет, соединение может быть перехвачено.";
    case net::TlsFailure::kSettings:
      return "Файл доверенных сертификатов TLS_CA_FILE (" + settings.caFile +
             ") не читается: проверьте его содержимое (сертификаты в PEM) и путь, который задается " + words.caFile + ".";
    default:
      break;  // kHandshake and the server side's failures: a provider's handshake tells no more
  }
  return "Соединение TLS не установлено: проверьте режим TLS и порт (" + words.modeAdvice + "); они задаются " +
         words.mode + ".";
}

}  // namespace

std::intptr_t CheckLog::send(unsigned message, std::uintptr_t, std::intptr_t lParam) {
  if (message != link::UM_LOG_LINE) return 0;
  std::string line = *reinterpret_cast<const std::string*>(lParam);
  const std::size_t tag = line.find("> ");
  if (tag != std::string::npos) line.erase(0, tag + 2);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  lines_.push_back(std::move(line));
  return 0;
}

bool CheckConnectSteps(CheckSteps& steps, const std::string& server, std::uint16_t port, std::uint32_t timeoutMs,
                       net::PlainStream& stream, const std::vector<std::string>& remaining, const std::string& serverMend) {
  std::vector<std::string> after(remaining);
  after.insert(after.begin(), kStepConnect);
  if (server.empty()) {
    steps.fail(kStepLookup, "имя сервера не задано", "Задайте имя сервера " + serverMend + ".");
    steps.skipAfterFailure(after);
    return false;
  }
  std::vector<platform::IpAddress> addresses;
  if (!platform::InitSocketLibrary()) {
    steps.fail(kStepLookup, "библиотека сокетов не запускается", "Перезапустите компьютер.");
    steps.skipAfterFailure(after);
    return false;
  }
  if (const auto dotted = platform::ParseDottedAddress(server)) {
    addresses.push_back(platform::IpAddress::V4(*dotted));
  } else if (const auto literal = platform::ParseIpAddress(server)) {
    addresses.push_back(*literal);
  }
  if (!addresses.empty()) {
    steps.pass(kStepLookup, "адрес задан числом: " + server);
  } else {
    addresses = platform::ResolveHostAddresses(server);
    if (addresses.empty()) {
      steps.fail(kStepLookup, "имя \"" + server + "\" не найдено (" + link::WinsockErrorName(platform::LastSocketError()) + ")",
                 "Проверьте, правильно ли написано имя сервера (оно задается " + serverMend +
                     "), и есть ли связь с Интернетом (DNS).");
      steps.skipAfterFailure(after);
      return false;
    }
    std::vector<std::string> texts;
    for (const auto& address : addresses) texts.push_back(address.toString());
    steps.pass(kStepLookup, server + ": " + Joined(texts, ", "));
  }
  std::string tried;
  for (const platform::IpAddress& address : addresses) {
    if (net::ConnectTcp(address, port, timeoutMs, stream) == net::ConnectFailure::kNone) {
      steps.pass(kStepConnect, "соединение с " + address.toString() + ", порт " + std::to_string(port));
      return true;
    }
    const int error = platform::LastSocketError();
    tried += (tried.empty() ? "" : "\n") + address.toString() + ", порт " + std::to_string(port) + ": " +
             link::WinsockErrorName(error);
    if (&address == &addresses.back()) {
      steps.fail(kStepConnect, tried,
                 error == kConnectionRefused
                     ? "Сервер отверг соединение: на порту " + std::to_string(port) +
                           " никто не ждет. Проверьте номер порта и имя сервера: они задаются " + serverMend + "."
                     : "Сервер не ответил за " + std::to_string(timeoutMs / 1000) +
                           " с: проверьте имя сервера, порт, брандмауэр и связь с Интернетом.");
    }
  }
  steps.skipAfterFailure(remaining);
  return false;
}

void AddTlsStep(CheckSteps& steps, const net::TlsOutcome& outcome, const net::TlsClientSettings& settings,
                const TlsHintWords& words, std::int64_t now) {
  std::string detail = CertificateDetail(outcome);
  if (outcome.failure != net::TlsFailure::kNone) {
    std::string why = net::TlsFailureText(outcome, settings);
    while (!why.empty() && (why.back() == '\n' || why.back() == '\r')) why.pop_back();
    steps.fail(kStepTls, why + (detail.empty() ? "" : "\n" + detail), TlsFailureHint(outcome, settings, words));
    return;
  }
  if (!outcome.chain.empty()) {
    if (const auto end = CertificateTime(outcome.chain.front().notAfter)) {
      const std::int64_t days = (*end - now) / 86400;
      if (*end - now < kCertificateWarningDays * 86400) {
        steps.warn(kStepTls, detail,
                   "Срок действия сертификата сервера кончается через " + std::to_string(days) +
                       " дн.: после этого соединение будет отвергнуто. Сообщите провайдеру" +
                       (settings.fingerprint.empty() ? "." : " и задайте новый отпечаток после смены сертификата."));
        return;
      }
    }
  }
  steps.pass(kStepTls, detail);
}

std::optional<std::int64_t> CertificateTime(const std::string& text) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d", &y, &mo, &d, &h, &mi, &s) != 6) return std::nullopt;
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) return std::nullopt;
  return DaysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 86400 + h * 3600 + mi * 60 + s;
}

std::string OauthFailureHint(OauthFailure failure, const std::string& protocol, const std::string& loginMend,
                             const std::string& platformMend) {
  switch (failure) {
    case OauthFailure::kNoGrant:
      return "Нет действующего разрешения OAuth" + std::string(protocol == "SMTP" ? " для SMTP" : "") +
             ": войдите заново " + loginMend + ".";
    case OauthFailure::kNoToken:
      return "Платформа удостоверений не выдала маркер доступа: проверьте связь с ней и ее настройки (они задаются " +
             platformMend + "), затем повторите проверку.";
    case OauthFailure::kTokenRefused: break;
  }
  return "Сервер не принял маркер доступа, даже новый: войдите заново " + loginMend +
         " и проверьте, что провайдер разрешает вход по " + protocol + ".";
}

std::string FirstLine(const std::string& reply) {
  std::string line = reply.substr(0, reply.find('\n'));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return platform::Printable(line, 200);
}

std::string CapabilityList(const std::string& reply, bool smtp) {
  std::vector<std::string> words;
  std::size_t start = reply.find('\n');
  while (start != std::string::npos && start + 1 < reply.size()) {
    const std::size_t end = reply.find('\n', start + 1);
    std::string line = reply.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
    start = end;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (smtp) {
      if (line.size() < 4) continue;
      line.erase(0, 4);
    } else if (line == ".") {
      break;
    }
    if (!line.empty()) words.push_back(platform::Printable(line, 100));
  }
  // EHLO's first line is the greeting of the reply and already skipped; its extensions follow.
  return Joined(words, ", ");
}

bool CheckConnection::open(CheckSteps& steps, const Target& target, const std::vector<std::string>& planned,
                           const net::TlsClient& tls, const std::function<void(const std::string&)>& log,
                           const std::function<void()>& addTlsStep) {
  if (!CheckConnectSteps(steps, target.server, target.port, target.timeoutMs, plain_, planned, target.serverMend)) {
    return false;
  }
  if (!target.implicitTls) return true;
  net::TlsFailure failure = net::TlsFailure::kNone;
  secure_ = net::StartClientTls(tls, recorded_, log, failure);
  if (secure_) return true;
  addTlsStep();
  if (!planned.empty()) steps.skipAfterFailure({planned.begin() + 1, planned.end()});
  close();
  return false;
}

void CheckConnection::close() {
  if (secure_) secure_->close();
  secure_.reset();
  plain_.close();
}

}  // namespace quelma::app
