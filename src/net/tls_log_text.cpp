// What each TLS failure is called in the log, with the certificate's own details.
#include "net/tls_log_text.h"

#include "net/certificate_ends.h"

namespace quelma::net {
namespace {

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text.empty() ? "(нет имен)" : text;
}

// The certificate that is out of its time, else the server's own.
const CertificateInfo& OutOfTime(const std::vector<CertificateInfo>& chain) {
  for (const CertificateInfo& c : chain) {
    if (!c.timeValid) return c;
  }
  return chain.front();
}

}  // namespace

std::string TlsFailureText(const TlsOutcome& outcome, const TlsClientSettings& settings) {
  const std::string host = "\"" + settings.host + "\"";
  const std::string why = outcome.reason.empty() ? "" : " (" + outcome.reason + ")";
  switch (outcome.failure) {
    case TlsFailure::kNone: return {};
    case TlsFailure::kSettings:
      return "TLS: не могу взять доверенные сертификаты из файла \"" + settings.caFile + "\"" + why + "\r\n";
    case TlsFailure::kHandshake:
    case TlsFailure::kPeerRefusedCertificate:
    case TlsFailure::kPlainText:
    case TlsFailure::kTimedOut:
    case TlsFailure::kNoCommonSuite:
      return "TLS: не удалось установить защищенное соединение с " + host + why + "\r\n";
    case TlsFailure::kUntrusted:
      if (outcome.chain.empty()) return "TLS: сервер " + host + " не предъявил сертификата\r\n";
      return "TLS: сертификат сервера " + host + " выдан неизвестным издателем \"" + outcome.chain.back().issuer +
             "\"" + why + "\r\n";
    case TlsFailure::kExpired:
      if (outcome.chain.empty()) break;
      return "TLS: сертификат \"" + OutOfTime(outcome.chain).subject + "\" сейчас недействителен: он действует с " +
             OutOfTime(outcome.chain).notBefore + " по " + OutOfTime(outcome.chain).notAfter + "\r\n";
    case TlsFailure::kHostName:
      if (outcome.chain.empty()) break;
      return "TLS: сертификат выдан для " + Joined(outcome.chain.front().names) + ", а соединение установлено с " +
             host + "\r\n";
    case TlsFailure::kPin:
      if (outcome.chain.empty()) break;
      return "TLS: отпечаток SHA-256 сертификата сервера " + outcome.chain.front().sha256 +
             " не совпадает с заданным " + settings.fingerprint + "\r\n";
  }
  return "TLS: сертификат сервера " + host + " не принят" + why + "\r\n";
}

std::string CredentialsProblemText(const CredentialsError& error) {
  const std::string file = "\"" + error.file + "\"";
  switch (error.problem) {
    case CredentialsProblem::kNone: return {};
    case CredentialsProblem::kUnreadable: return "файл " + file + " не найден или не читается";
    case CredentialsProblem::kSwapped:
      return "файлы перепутаны: в " + file + " закрытый ключ, а сертификат - в файле, указанном для ключа";
    case CredentialsProblem::kNoCertificate: return "в файле " + file + " нет сертификата в формате PEM";
    case CredentialsProblem::kNoKey:
      return "в файле " + file + " нет закрытого ключа в формате PEM без пароля (ключ с паролем сервер открыть не может)";
    case CredentialsProblem::kKeyMismatch:
      return "закрытый ключ из " + file + " не подходит к сертификату: это ключ другого сертификата";
    case CredentialsProblem::kKeyKind: return "ключ в " + file + " не RSA, а в Windows годятся только ключи RSA";
    case CredentialsProblem::kLibrary: break;
  }
  return "библиотека TLS не принимает сертификат и ключ (" + error.detail + ")";
}

std::string LocalClientTlsFailureText(const TlsOutcome& outcome) {
  std::string words;
  switch (outcome.failure) {
    case TlsFailure::kPeerRefusedCertificate:
      words = "почтовая программа не приняла сертификат сервера (не доверяет его издателю?): добавьте сертификат "
              "издателя в доверенные на компьютере клиента";
      break;
    case TlsFailure::kPlainText:
      words = "почтовая программа прислала открытый текст вместо TLS: включите в ней SSL/TLS для этого порта";
      break;
    case TlsFailure::kTimedOut:
      words = "почтовая программа не начала TLS за отведенное время (ждет приветствия без TLS? тогда включите в ней "
              "SSL/TLS для этого порта)";
      break;
    case TlsFailure::kNoCommonSuite:
      words = "почтовая программа знает только устаревшие версии TLS или шифры без прямой секретности; сервер "
              "принимает TLS 1.3 и TLS 1.2 с ECDHE";
      break;
    default: words = "не удалось установить защищенное соединение с клиентом"; break;
  }
  return "TLS: " + words + (outcome.reason.empty() ? "" : " (" + outcome.reason + ")") + "\r\n";
}

std::string TlsUpText(const TlsOutcome& outcome) {
  return "Установлено защищенное соединение: " + outcome.protocol + ", " + outcome.cipher + "\r\n";
}

std::unique_ptr<ByteStream> StartClientTls(const TlsClient& tls, ByteStream& plain,
                                           const std::function<void(const std::string&)>& log, TlsFailure& failure) {
  TlsOutcome outcome;
  std::unique_ptr<ByteStream> secure = tls.start(plain, tls.settings, outcome);
  failure = secure ? TlsFailure::kNone : outcome.failure;
  log(secure ? TlsUpText(outcome) : TlsFailureText(outcome, tls.settings));
  if (secure && !outcome.chain.empty()) NoteProviderCertificate(tls.settings.host, outcome.chain.front().notAfter);
  return secure;
}

}  // namespace quelma::net
