// The numbered errors that end a whole upload; the number is what "Error number %d" shows
// and the thread's exit code. A refused message is no such error: it gets a notice.
#pragma once

#include "net/tls.h"

namespace quelma::smtp_client {

enum class SmtpClientError : int {
  kNone = 0,
  kSocketLibrary = 1,
  kResolve = 2,
  kSocket = 3,
  kSendTimeout = 4,
  kReceiveTimeout = 5,
  kConnect = 6,
  kGreetingReceive = 7,
  kGreetingRefused = 8,     // not "220"
  kLoginSend = 9,           // EHLO, HELO or an AUTH line
  kLoginReceive = 10,       // their replies; or CRAM-MD5 not answered "334"
  kLoginRefused = 11,       // HELO not 250, an AUTH LOGIN step not 334, the last AUTH reply not 235
  kMailSend = 12,           // MAIL FROM, and the RSET before a new transaction
  kEnvelopeReceive = 13,    // the replies to MAIL FROM, RCPT TO and RSET
  kRecipientSend = 14,
  kDataSend = 16,
  kDataReceive = 17,
  kDotSend = 19,            // the transparency dot of a line
  kLineSend = 20,           // a message line; also a queue file that cannot be read to its end
  kEndSend = 21,
  kEndReceive = 22,
  kQuitSend = 23,
  kQuitReceive = 24,
  kStartTlsNotOffered = 25,  // the EHLO reply does not list STARTTLS, or STARTTLS was refused
  kTlsHandshake = 26,        // no TLS came about (closed, broken off, not TLS, no common version)
  kTlsUntrusted = 27,        // the certificate leads to no trusted one
  kTlsExpired = 28,          // a certificate of the chain is not valid now
  kTlsHostName = 29,         // the certificate is for other names
  kTlsPin = 30,              // its fingerprint is not SMTP_TLS_FINGERPRINT
  kTlsSettings = 31,         // the trusted-certificates file cannot be used
  kAuthNotOffered = 32,      // the EHLO reply does not list SMTP_AUTH's mechanism
  kOauthToken = 33,          // no access token could be had from the identity platform
  kOauthLogin = 34,          // never authorised, or the authorisation was revoked: log in again
  kAuthInClear = 35,         // SMTP_AUTH is set without SMTP_TLS
  kChallengeWithoutOpen = 310,   // the decoded CRAM-MD5 challenge holds no "<"
  kChallengeWithoutClose = 311,  // nor a ">" after it
};

inline int ErrorNumber(SmtpClientError error) { return static_cast<int>(error); }

// The TLS errors are numbered in the order net::TlsErrorOffset gives.
inline SmtpClientError TlsError(net::TlsFailure failure) {
  if (failure == net::TlsFailure::kNone) return SmtpClientError::kNone;
  return static_cast<SmtpClientError>(ErrorNumber(SmtpClientError::kTlsHandshake) + net::TlsErrorOffset(failure));
}

}  // namespace quelma::smtp_client
