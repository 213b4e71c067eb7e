// The HTTPS exchange on Windows, through WinHTTP. WinHTTP judges the certificate with the
// system's trust first. When it refuses one, the exchange is made once more with WinHTTP's own
// certificate checks set aside, and the chain the server sent is judged as the mail connections
// judge it (JudgeServerChain: the system's stores plus the extra trusted-certificates file, the
// validity dates, the host name) before anything of the form goes out. That second look names
// what is wrong; the form is sent on it only when the extra file is set and the chain passes.
#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "net/https_transport.h"
#include "net/win32/schannel_certificates.h"

namespace quelma::net {
namespace {

class Handle {
 public:
  explicit Handle(HINTERNET handle) : handle_(handle) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (handle_) WinHttpCloseHandle(handle_);
  }
  HINTERNET get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  HINTERNET handle_;
};

struct Certificates {
  std::vector<PCCERT_CONTEXT> list;
  ~Certificates() {
    for (PCCERT_CONTEXT c : list) CertFreeCertificateContext(c);
  }
};

// The time left of the whole exchange, handed to each blocking step as its own time-out.
class Deadline {
 public:
  explicit Deadline(std::uint32_t milliseconds)
      : end_(std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds)) {}
  int left() const {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end_ - std::chrono::steady_clock::now());
    return static_cast<int>(std::clamp<long long>(left.count(), 0, 0x7FFFFFFF));
  }
  bool passed() const { return left() == 0; }
  // The four of WinHttpSetTimeouts, and the wait for the reply's headers, which is apart.
  bool applyTo(HINTERNET request) const {
    DWORD ms = static_cast<DWORD>(std::max(left(), 1));
    return WinHttpSetTimeouts(request, ms, ms, ms, ms) &&
           WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &ms, sizeof ms);
  }

 private:
  std::chrono::steady_clock::time_point end_;
};

std::wstring Wide(std::string_view ascii) { return std::wstring(ascii.begin(), ascii.end()); }

std::string ErrorWords(DWORD code) {
  switch (code) {
    case ERROR_WINHTTP_TIMEOUT: return "ERROR_WINHTTP_TIMEOUT";
    case ERROR_WINHTTP_NAME_NOT_RESOLVED: return "ERROR_WINHTTP_NAME_NOT_RESOLVED";
    case ERROR_WINHTTP_CANNOT_CONNECT: return "ERROR_WINHTTP_CANNOT_CONNECT";
    case ERROR_WINHTTP_CONNECTION_ERROR: return "ERROR_WINHTTP_CONNECTION_ERROR";
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE: return "ERROR_WINHTTP_INVALID_SERVER_RESPONSE";
    case WSAETIMEDOUT: return "WSAETIMEDOUT";
    case WSAECONNREFUSED: return "WSAECONNREFUSED";
    case WSAECONNRESET: return "WSAECONNRESET";
    case WSAECONNABORTED: return "WSAECONNABORTED";
    case ERROR_WINHTTP_SECURE_FAILURE: return "ERROR_WINHTTP_SECURE_FAILURE";
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR: return "ERROR_WINHTTP_SECURE_CHANNEL_ERROR";
    case ERROR_WINHTTP_SECURE_INVALID_CA: return "ERROR_WINHTTP_SECURE_INVALID_CA";
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID: return "ERROR_WINHTTP_SECURE_CERT_CN_INVALID";
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID: return "ERROR_WINHTTP_SECURE_CERT_DATE_INVALID";
    case ERROR_WINHTTP_SECURE_INVALID_CERT: return "ERROR_WINHTTP_SECURE_INVALID_CERT";
    default: return "WinHTTP error " + std::to_string(code);
  }
}

// The reasons WinHTTP gives for refusing a certificate (its secure-failure notice).
std::string SecureFlagWords(DWORD flags) {
  static constexpr struct {
    DWORD flag;
    const char* words;
  } kFlags[] = {
      {WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA, "unknown issuer"},
      {WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID, "name mismatch"},
      {WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID, "out of its validity dates"},
      {WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT, "invalid certificate"},
      {WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED, "revoked"},
      {WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED, "revocation not checked"},
      {WINHTTP_CALLBACK_STATUS_FLAG_CERT_WRONG_USAGE, "not for server authentication"},
      {WINHTTP_CALLBACK_STATUS_FLAG_SECURITY_CHANNEL_ERROR, "secure channel error"},
  };
  std::string words;
  for (const auto& f : kFlags) {
    if (flags & f.flag) words += (words.empty() ? "" : ", ") + std::string(f.words);
  }
  return words;
}

HttpsFailure FailureOfCertificate(DWORD error, DWORD flags) {
  if ((flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID) || error == ERROR_WINHTTP_SECURE_CERT_CN_INVALID) {
    return HttpsFailure::kHostName;
  }
  if ((flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID) || error == ERROR_WINHTTP_SECURE_CERT_DATE_INVALID) {
    return HttpsFailure::kExpired;
  }
  const DWORD untrusted = WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA | WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT |
                          WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED | WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED |
                          WINHTTP_CALLBACK_STATUS_FLAG_CERT_WRONG_USAGE;
  if ((flags & untrusted) || error == ERROR_WINHTTP_SECURE_INVALID_CA || error == ERROR_WINHTTP_SECURE_INVALID_CERT) {
    return HttpsFailure::kUntrusted;
  }
  return HttpsFailure::kTls;
}

// Wine's WinHTTP leaves some socket errors as they are (a time-out waiting for the reply is
// WSAETIMEDOUT there, not ERROR_WINHTTP_TIMEOUT).
HttpsFailure FailureOf(DWORD error, DWORD secureFlags) {
  switch (error) {
    case ERROR_WINHTTP_NAME_NOT_RESOLVED: return HttpsFailure::kResolve;
    case ERROR_WINHTTP_CANNOT_CONNECT: return HttpsFailure::kConnect;
    case WSAECONNREFUSED: return HttpsFailure::kRefused;
    case ERROR_WINHTTP_TIMEOUT:
    case WSAETIMEDOUT: return HttpsFailure::kTimeout;
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case ERROR_WINHTTP_CONNECTION_ERROR:
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE: return HttpsFailure::kBroken;
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_INVALID_CERT: return FailureOfCertificate(error, secureFlags);
    default: return HttpsFailure::kOther;
  }
}

// WinHTTP tells why it refused a certificate only to a status callback; `context` is the
// attempt's flags word.
void CALLBACK NoteSecureFailure(HINTERNET, DWORD_PTR context, DWORD status, LPVOID information, DWORD length) {
  if (status == WINHTTP_CALLBACK_STATUS_SECURE_FAILURE && context && information && length >= sizeof(DWORD)) {
    *reinterpret_cast<DWORD*>(context) |= *static_cast<const DWORD*>(information);
  }
}

struct Attempt {
  HttpsExchange result;
  DWORD error = 0;                // the WinHTTP error of the step that failed
  DWORD secureFlags = 0;          // WinHTTP's reasons for refusing the certificate
  bool passedSecondLook = false;  // the chain passed JudgeServerChain
};

// WinHTTP refused the server's certificate, or (Wine tells no more) the secure channel failed.
bool CertificateRefused(const Attempt& attempt) {
  switch (attempt.error) {
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_INVALID_CERT: return true;
    default: return false;
  }
}

struct Request {
  const HttpsUrl& url;
  const std::string& form;
  const HttpsOptions& options;
  const Deadline& deadline;
};

bool Fail(Attempt& attempt, DWORD error) {
  attempt.error = error;
  attempt.result.failure = FailureOf(error, attempt.secureFlags);
  attempt.result.detail = ErrorWords(error);
  if (const std::string flags = SecureFlagWords(attempt.secureFlags); !flags.empty()) {
    attempt.result.detail += ": " + flags;
  }
  return false;
}

bool FailLast(Attempt& attempt) { return Fail(attempt, GetLastError()); }

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text.empty() ? "no names" : text;
}

// The chain the server sent, judged with the system's stores plus `extra`; with the failure and
// the certificate's own details (English, for the log) in `attempt` when it does not pass.
bool CertificateAccepted(HINTERNET request, const Request& r, const std::vector<PCCERT_CONTEXT>& extra,
                         Attempt& attempt) {
  PCCERT_CONTEXT leaf = nullptr;
  DWORD size = sizeof leaf;
  TlsOutcome outcome;
  if (!WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &leaf, &size) || !leaf) {
    outcome.failure = TlsFailure::kUntrusted;
    outcome.reason = "WinHTTP gives no server certificate";
  } else {
    JudgeServerChain(leaf, TlsClientSettings{r.url.host, r.options.caFile, ""}, extra, outcome);
    CertFreeCertificateContext(leaf);
  }
  if (outcome.failure == TlsFailure::kNone) return true;
  HttpsExchange& result = attempt.result;
  result.failure = HttpsFailure::kUntrusted;
  result.detail = outcome.reason;
  if (outcome.chain.empty()) return false;
  const CertificateInfo& leafInfo = outcome.chain.front();
  switch (outcome.failure) {
    case TlsFailure::kExpired:
      result.failure = HttpsFailure::kExpired;
      result.detail = "valid from " + leafInfo.notBefore + " to " + leafInfo.notAfter;
      break;
    case TlsFailure::kHostName:
      result.failure = HttpsFailure::kHostName;
      result.detail = "it is for " + Joined(leafInfo.names);
      break;
    default:
      result.detail = "issuer \"" + outcome.chain.back().issuer + "\"" +
                      (outcome.reason.empty() ? "" : ": " + outcome.reason);
      break;
  }
  return false;
}

bool SendForm(HINTERNET request, const Request& r, Attempt& attempt) {
  for (std::size_t sent = 0; sent < r.form.size();) {
    const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(r.form.size() - sent, 64 * 1024));
    DWORD written = 0;
    if (!r.deadline.applyTo(request) || !WinHttpWriteData(request, r.form.data() + sent, piece, &written)) {
      return FailLast(attempt);
    }
    if (written == 0) return Fail(attempt, ERROR_WINHTTP_CONNECTION_ERROR);
    sent += written;
  }
  return true;
}

bool ReadReply(HINTERNET request, const Request& r, Attempt& attempt) {
  DWORD status = 0;
  DWORD size = sizeof status;
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
    return FailLast(attempt);
  }
  DWORD announced = 0;
  size = sizeof announced;
  if (WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                          WINHTTP_HEADER_NAME_BY_INDEX, &announced, &size, WINHTTP_NO_HEADER_INDEX) &&
      announced > kHttpsBodyLimit) {
    attempt.result.failure = HttpsFailure::kTooLarge;
    return false;
  }
  std::string body;
  std::vector<char> buffer(64 * 1024);
  for (;;) {
    if (r.deadline.passed()) return Fail(attempt, ERROR_WINHTTP_TIMEOUT);
    DWORD read = 0;
    if (!r.deadline.applyTo(request) ||
        !WinHttpReadData(request, buffer.data(), static_cast<DWORD>(buffer.size()), &read)) {
      return FailLast(attempt);
    }
    if (read == 0) break;
    if (read > kHttpsBodyLimit - body.size()) {
      attempt.result.failure = HttpsFailure::kTooLarge;
      return false;
    }
    body.append(buffer.data(), read);
  }
  attempt.result.status = static_cast<long>(status);
  attempt.result.body = std::move(body);
  return true;
}

// How the second exchange looks at a certificate WinHTTP refused.
struct SecondLook {
  const std::vector<PCCERT_CONTEXT>& extra;
  bool mayAccept;  // the extra file is set: a chain that passes is taken
};

// One request on a connection of its own. With `look`, WinHTTP's certificate checks are set
// aside and the chain is judged here instead, before anything of the form is sent.
Attempt Post(HINTERNET session, const Request& r, const SecondLook* look) {
  Attempt attempt;
  // An IPv6 address in brackets, as WinHttpCrackUrl gives it (and the Host header needs it).
  const bool v6 = r.url.host.find(':') != std::string::npos;
  const std::wstring server = v6 ? L"[" + Wide(r.url.host) + L"]" : Wide(r.url.host);
  Handle connection(WinHttpConnect(session, server.c_str(), r.url.port, 0));
  if (!connection) {
    FailLast(attempt);
    return attempt;
  }
  Handle request(WinHttpOpenRequest(connection.get(), L"POST", Wide(r.url.target).c_str(), nullptr,
                                    WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                    r.url.secure ? WINHTTP_FLAG_SECURE : 0));
  if (!request) {
    FailLast(attempt);
    return attempt;
  }
  DWORD disabled = WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_COOKIES;
  DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
  DWORD judgedHere =
      SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
  if (!WinHttpSetOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &disabled, sizeof disabled) ||
      !WinHttpSetOption(request.get(), WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof never) ||
      (look && !WinHttpSetOption(request.get(), WINHTTP_OPTION_SECURITY_FLAGS, &judgedHere, sizeof judgedHere))) {
    FailLast(attempt);
    return attempt;
  }
  WinHttpSetStatusCallback(request.get(), NoteSecureFailure, WINHTTP_CALLBACK_FLAG_SECURE_FAILURE, 0);
  const wchar_t* headers = L"Content-Type: application/x-www-form-urlencoded\r\nAccept: application/json\r\n";
  if (!r.deadline.applyTo(request.get()) ||
      !WinHttpSendRequest(request.get(), headers, static_cast<DWORD>(-1), WINHTTP_NO_REQUEST_DATA, 0,
                          static_cast<DWORD>(r.form.size()), reinterpret_cast<DWORD_PTR>(&attempt.secureFlags))) {
    FailLast(attempt);
    return attempt;
  }
  if (look) {
    if (!CertificateAccepted(request.get(), r, look->extra, attempt)) return attempt;
    attempt.passedSecondLook = true;
    if (!look->mayAccept) return attempt;
  }
  if (!SendForm(request.get(), r, attempt)) return attempt;
  if (!r.deadline.applyTo(request.get()) || !WinHttpReceiveResponse(request.get(), nullptr)) {
    FailLast(attempt);
    return attempt;
  }
  ReadReply(request.get(), r, attempt);
  return attempt;
}

// TLS 1.2 and 1.3; TLS 1.2 alone where the system knows no 1.3.
bool OnlyRecentTls(HINTERNET session) {
  DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
  if (WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) return true;
  protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
  return WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols);
}

}  // namespace

HttpsExchange PostForm(const HttpsUrl& url, const std::string& formBody, const HttpsOptions& options) {
  const Deadline deadline(options.timeoutMs);
  Certificates extra;
  if (url.secure && !options.caFile.empty()) {
    std::string error;
    if (!LoadPemCertificates(options.caFile, extra.list, error)) return {0, {}, HttpsFailure::kCaFile, error};
  }
  Handle session(WinHttpOpen(L"Quelmar", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                             WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session || !OnlyRecentTls(session.get())) {
    Attempt attempt;
    FailLast(attempt);
    return attempt.result;
  }
  const Request request{url, formBody, options, deadline};
  const Attempt first = Post(session.get(), request, nullptr);
  if (!CertificateRefused(first) || deadline.passed()) return first.result;
  const SecondLook look{extra.list, !extra.list.empty()};
  Attempt second = Post(session.get(), request, &look);
  // A chain the system refused and no extra file vouches for stays refused, in WinHTTP's words.
  if (second.passedSecondLook && !look.mayAccept) return first.result;
  // A failure of the second handshake itself says no more than the first one did.
  if (!second.passedSecondLook && second.result.failure == HttpsFailure::kTls) return first.result;
  return second.result;
}

}  // namespace quelma::net
