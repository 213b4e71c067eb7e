// The steps both provider checks share: the name lookup and the connect, the TLS verdict with
// the certificate seen, the session's log caught for the report, and the texts of the hints.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/check_report.h"
#include "app/check_transcript.h"
#include "link/activity_log.h"
#include "link/main_window.h"
#include "link/server_control.h"
#include "net/plain_stream.h"
#include "net/tls.h"

namespace quelma::app {

inline constexpr char kStepLookup[] = "Поиск адреса";
inline constexpr char kStepConnect[] = "Соединение";
inline constexpr char kStepTls[] = "TLS";
inline constexpr char kStepGreeting[] = "Приветствие";
inline constexpr char kStepCapabilities[] = "Возможности";
inline constexpr char kStepLogin[] = "Вход";
inline constexpr char kStepSettings[] = "Настройки";

// A certificate that runs out within this many days is a warning.
inline constexpr std::int64_t kCertificateWarningDays = 14;

// The lines a session logs, without their stamps, kept for the report instead of shown.
class CheckLog final : public link::MainWindow {
 public:
  CheckLog() : log_(*this, control_, platform::SystemClock()) {}
  std::intptr_t send(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override;
  void post(unsigned, std::uintptr_t, std::intptr_t) override {}
  void setStatusText(int, const std::string&) override {}
  void setProgress(int, int) override {}
  link::ActivityLog& log() { return log_; }
  const std::vector<std::string>& lines() const { return lines_; }

 private:
  link::ServerControl control_;
  link::ActivityLog log_;
  std::vector<std::string> lines_;
};

// How the certificate check is mended for this connection, each way named by the front end
// (check_mends.h): where the fingerprint, the TLS mode, the trusted certificates and the server are set.
struct TlsHintWords {
  std::string fingerprint;  // "командой "quelma config smtp set --fingerprint ..."", "в окне ..."
  std::string modeAdvice;   // which TLS mode goes with which port
  std::string mode{};       // where the TLS mode and the port are set
  std::string caFile{};     // where the extra trusted certificates are named
  std::string server{};     // where the server's name is set
};

// The name lookup and the connect, as the clients make them: steps "Поиск адреса" and
// "Соединение". False after a failed step (the rest of `remaining` skipped). `serverMend` names
// where the server and port are set.
bool CheckConnectSteps(CheckSteps& steps, const std::string& server, std::uint16_t port, std::uint32_t timeoutMs,
                       net::PlainStream& stream, const std::vector<std::string>& remaining, const std::string& serverMend);

// The connection a provider check talks over, opened as the clients open theirs: the lookup and
// the connect (CheckConnectSteps), the plain stream recorded for the transcript, and with TLS from
// the first byte the handshake over it. Closed when it ends.
class CheckConnection {
 public:
  struct Target {
    std::string server;
    std::uint16_t port = 0;
    std::uint32_t timeoutMs = 0;
    bool implicitTls = false;  // the handshake right after the connect
    std::string serverMend;    // where the front end sets server and port (the hints name it)
  };
  explicit CheckConnection(CheckTranscript& transcript) : recorded_(plain_, transcript) {}
  ~CheckConnection() { close(); }
  CheckConnection(const CheckConnection&) = delete;
  CheckConnection& operator=(const CheckConnection&) = delete;

  // False after a failed step (`addTlsStep` adds the step of a failed handshake): the rest of
  // `planned` is skipped and the connection closed. `log` takes the client's log lines.
  bool open(CheckSteps& steps, const Target& target, const std::vector<std::string>& planned, const net::TlsClient& tls,
            const std::function<void(const std::string&)>& log, const std::function<void()>& addTlsStep);
  net::ByteStream& stream() { return secure_ ? *secure_ : static_cast<net::ByteStream&>(recorded_); }
  void close();

 private:
  net::PlainStream plain_;
  RecordingStream recorded_;
  std::unique_ptr<net::ByteStream> secure_;
};

// The TLS step from the handshake's outcome: passed with the certificate seen, a warning when
// it runs out within kCertificateWarningDays, failed with the hint for its failure.
void AddTlsStep(CheckSteps& steps, const net::TlsOutcome& outcome, const net::TlsClientSettings& settings,
                const TlsHintWords& words, std::int64_t now);

// Why an OAuth login failed, and the hint for each: the user's agreement is gone (log in again),
// the identity platform gave no token (its reach or settings), the server refused a fresh token.
enum class OauthFailure { kNoGrant, kNoToken, kTokenRefused };

// `protocol` is "POP3", "IMAP" or "SMTP"; `loginMend` names where the login is made again,
// `platformMend` where the platform's settings are.
std::string OauthFailureHint(OauthFailure failure, const std::string& protocol, const std::string& loginMend,
                             const std::string& platformMend);

// "2026-01-31 23:59:59 UTC" as seconds since 1970; nothing when it does not read so.
std::optional<std::int64_t> CertificateTime(const std::string& text);

// The first line of a reply without its line end, cut to a readable length.
std::string FirstLine(const std::string& reply);

// The words of a CAPA listing or an EHLO reply after its first line, one per extension
// ("UIDL", "SASL PLAIN XOAUTH2"), joined by ", ".
std::string CapabilityList(const std::string& reply, bool smtp);

}  // namespace quelma::app
