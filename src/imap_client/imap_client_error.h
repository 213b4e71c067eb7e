// The numbered errors that end an IMAP client run; the number is what the log line shows and
// the thread's exit code. The first six and the TLS and OAuth ones mean what the POP3
// client's numbers mean.
#pragma once

#include "net/tls.h"

namespace quelma::imap_client {

enum class ImapClientError : int {
  kNone = 0,
  kSocketLibrary = 1,
  kResolve = 2,
  kSocket = 3,
  kSendTimeout = 4,
  kReceiveTimeout = 5,
  kConnect = 6,
  kGreeting = 7,         // nothing, or not a greeting, came
  kGreetingRefused = 8,  // the server said BYE at once
  kSend = 9,             // a command could not be sent: the connection broke
  kReceive = 10,         // the connection ended before or inside a response
  kResponse = 11,        // a response beyond its bounds, or not well formed
  kServerBye = 12,       // the server ended the session (BYE) part-way
  kLoginRefused = 13,    // LOGIN or AUTHENTICATE PLAIN refused
  kLoginDisabled = 14,   // the server takes no password on this connection (LOGINDISABLED)
  kFolder = 15,          // a folder could not be selected
  kFetch = 16,           // a FETCH was refused
  kDownloadFile = 17,    // creating, syncing or publishing a download file
  kLedger = 18,          // the ledger could not be written
  kRemove = 19,          // STORE, EXPUNGE, COPY or MOVE refused
  kStartTlsNotOffered = 37,  // the server does not offer STARTTLS, or refused it
  kTlsHandshake = 38,
  kTlsUntrusted = 39,
  kTlsExpired = 40,
  kTlsHostName = 41,
  kTlsPin = 42,
  kTlsSettings = 43,
  kAuthNotOffered = 44,  // the account's SASL mechanism is not offered
  kAuthRefused = 47,     // the server took no access token, not even a new one
  kOauthToken = 48,
  kOauthLogin = 49,
  kAuthInClear = 50,
};

inline int ErrorNumber(ImapClientError error) { return static_cast<int>(error); }

inline ImapClientError TlsError(net::TlsFailure failure) {
  if (failure == net::TlsFailure::kNone) return ImapClientError::kNone;
  return static_cast<ImapClientError>(ErrorNumber(ImapClientError::kTlsHandshake) + net::TlsErrorOffset(failure));
}

}  // namespace quelma::imap_client
