// The TLS check an administrator runs by hand: plain start (STLS or STARTTLS) when asked, the
// handshake, the chain, the verdict in the clients' own words.
#include "app/console/check_tls.h"

#include <cstdio>
#include <cstdlib>

#include "config/config_file.h"
#include "net/certificate_names.h"
#include "net/line_limits.h"
#include "net/line_receiver.h"
#include "net/plain_stream.h"
#include "net/tls.h"
#include "net/tls_log_text.h"
#include "platform/cp1251_utf8.h"
#include "platform/files.h"

namespace quelma::app {
namespace {

void Say(const std::string& cp1251) { std::fputs(platform::Cp1251ToUtf8(cp1251).c_str(), stdout); }

// One reply line, echoed; for SMTP every line of a multi-line reply.
bool Reply(net::LineReceiver& replies, bool smtp, std::string& last) {
  std::string line;
  do {
    if (replies.readLine(line, net::kMaxPop3Line + 1) != net::LineReceiver::Status::kLine) return false;
    Say("S: " + line);
    last += line;
  } while (smtp && line.size() > 3 && line[3] == '-');
  return true;
}

bool Command(net::ByteStream& stream, net::LineReceiver& replies, bool smtp, const std::string& line,
             std::string& reply) {
  Say("C: " + line);
  reply.clear();
  return stream.sendAll(line) && Reply(replies, smtp, reply);
}

// The plain start of STLS or STARTTLS: false (after a line that says why) when the server
// does not offer it.
bool PlainStart(net::PlainStream& stream, const std::string& mode) {
  net::LineReceiver replies(stream, 4096);
  const bool smtp = mode == "starttls";
  std::string reply;
  if (!Reply(replies, smtp, reply)) return false;
  if (smtp) {
    if (!Command(stream, replies, true, "EHLO check-tls\r\n", reply)) return false;
    if (reply.find("STARTTLS") == std::string::npos) {
      Say("Сервер не предлагает STARTTLS\n");
      return false;
    }
    return Command(stream, replies, true, "STARTTLS\r\n", reply) && reply.starts_with("220");
  }
  if (!Command(stream, replies, false, "CAPA\r\n", reply)) return false;
  std::string capabilities;
  if (reply.starts_with("+")) {
    for (std::string line; replies.readLine(line, net::kMaxPop3Line + 1) == net::LineReceiver::Status::kLine && line != ".\r\n";) {
      Say("S: " + line);
      capabilities += line;
    }
  }
  if (capabilities.find("STLS") == std::string::npos) {
    Say("Сервер не предлагает STLS\n");
    return false;
  }
  return Command(stream, replies, false, "STLS\r\n", reply) && reply.starts_with("+");
}

}  // namespace

int CheckTls(const std::string& programDir, const std::vector<std::string>& arguments) {
  if (arguments.size() < 2 || arguments.size() > 3) {
    std::fputs("usage: quelma [--dir DIR] check-tls HOST PORT [stls|starttls|ssl]\n", stderr);
    return 2;
  }
  const std::string& host = arguments[0];
  const long port = std::strtol(arguments[1].c_str(), nullptr, 10);
  const std::string mode = arguments.size() == 3 ? arguments[2] : "ssl";
  if (port <= 0 || port > 65535 || (mode != "stls" && mode != "starttls" && mode != "ssl")) {
    std::fputs("usage: quelma [--dir DIR] check-tls HOST PORT [stls|starttls|ssl]\n", stderr);
    return 2;
  }
  config::Configuration config;  // only its trusted-certificates file; a missing quelma.cfg is not made
  if (platform::FileExists(config::ConfigFilePath(programDir))) config::LoadConfiguration(programDir, config);
  const net::TlsClientSettings settings{host, config.TLS_CA_FILE, ""};
  net::PlainStream stream;
  if (net::ConnectToServer(host, static_cast<std::uint16_t>(port), 30000, stream,
                           [](const std::string& text) { Say(text); }) != net::ConnectFailure::kNone) {
    Say("Не смог установить связь с сервером " + host + ":" + arguments[1] + "\n");
    return 1;
  }
  if (mode != "ssl" && !PlainStart(stream, mode)) return 1;
  net::TlsOutcome outcome;
  std::unique_ptr<net::ByteStream> secure = net::StartTlsClient(stream, settings, outcome);
  if (!outcome.protocol.empty()) Say("Протокол: " + outcome.protocol + ", " + outcome.cipher + "\n");
  for (std::size_t i = 0; i < outcome.chain.size(); ++i) {
    const net::CertificateInfo& c = outcome.chain[i];
    std::string names;
    for (const std::string& n : c.names) names += (names.empty() ? "" : ", ") + n;
    Say("Сертификат " + std::to_string(i) + ":\n  владелец: " + c.subject + "\n  издатель: " + c.issuer +
        "\n  имена:    " + names + "\n  действует с " + c.notBefore + " по " + c.notAfter +
        (c.timeValid ? "" : " (СЕЙЧАС НЕДЕЙСТВИТЕЛЕН)") + "\n  SHA-256:  " + c.sha256 + "\n");
  }
  if (!outcome.chain.empty()) {
    Say(std::string("Имя \"") + host + "\": " +
        (net::CertificateCoversHost(outcome.chain.front().names, host) ? "есть в сертификате\n"
                                                                       : "НЕТ в сертификате\n"));
  }
  if (!secure) {
    Say("Итог: НЕ ПРИНЯТ. " + net::TlsFailureText(outcome, settings));
    stream.close();
    return 1;
  }
  Say(std::string("Итог: сертификат принят") +
      (config.TLS_CA_FILE.empty() ? "" : " (с доверенными сертификатами из " + config.TLS_CA_FILE + ")") + "\n");
  secure->close();
  return 0;
}

}  // namespace quelma::app
