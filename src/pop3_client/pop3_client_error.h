// The numbered errors that end a POP3 client run; the number is what the log line shows and
// the thread's exit code.
#pragma once

#include "net/tls.h"

namespace quelma::pop3_client {

enum class Pop3ClientError : int {
  kNone = 0,
  kSocketLibrary = 1,
  kResolve = 2,
  kSocket = 3,
  kSendTimeout = 4,
  kReceiveTimeout = 5,
  kConnect = 6,
  kGreetingReceive = 7,
  kGreetingNegative = 8,
  kUserSend = 10,         // APOP too
  kUserReceive = 11,      // APOP too
  kUserReceiveRest = 12,  // APOP too
  kPassSend = 13,
  kPassReceive = 14,
  kPassReceiveRest = 15,
  kStatSend = 16,
  kStatReceive = 17,
  kQuitSend = 18,
  kListSend = 19,
  kListReceive = 20,      // the reply or its listing broke off, or the listing does not fit
  kDownloadFile = 21,     // creating, syncing or publishing a download file
  kRetrSend = 22,
  kRetrReceive = 23,      // nothing of the status line came
  kRetrStatusLine = 24,   // the status line broke off
  kRetrText = 25,         // the message text broke off (its download file is removed)
  kDeleSend = 26,
  kDeleReceive = 27,
  kNegativeReply = 30,    // to USER, PASS, STAT, LIST, RETR or DELE; QUIT was sent
  kUidlSend = 31,
  kUidlReceive = 32,      // the listing broke off, or does not fit the mailbox
  kCapaSend = 33,
  kCapaReceive = 34,      // the reply or its listing broke off
  kStlsSend = 35,         // CAPA or STLS before the login
  kStlsReceive = 36,      // their replies broke off
  kStlsNotOffered = 37,   // CAPA does not list STLS, or STLS was refused
  kTlsHandshake = 38,     // no TLS came about (closed, broken off, not TLS, no common version)
  kTlsUntrusted = 39,     // the certificate leads to no trusted one
  kTlsExpired = 40,       // a certificate of the chain is not valid now
  kTlsHostName = 41,      // the certificate is for other names
  kTlsPin = 42,           // its fingerprint is not the one set for the account
  kTlsSettings = 43,      // the trusted-certificates file cannot be used
  kAuthNotOffered = 44,   // CAPA does not list the account's SASL mechanism
  kAuthSend = 45,         // CAPA, AUTH or the token could not be sent
  kAuthReceive = 46,      // their replies broke off
  kAuthRefused = 47,      // the server took no access token, not even a new one
  kOauthToken = 48,       // no access token could be had from the identity platform
  kOauthLogin = 49,       // never authorised, or the authorisation was revoked: log in again
  kAuthInClear = 50,      // an OAuth login is set for an account without TLS
  kTopSend = 51,          // TOP, for the header of a message too large to download
  kTopReceive = 52,       // its reply or its lines broke off
};

inline int ErrorNumber(Pop3ClientError error) { return static_cast<int>(error); }

// The TLS errors are numbered in the order net::TlsErrorOffset gives.
inline Pop3ClientError TlsError(net::TlsFailure failure) {
  if (failure == net::TlsFailure::kNone) return Pop3ClientError::kNone;
  return static_cast<Pop3ClientError>(ErrorNumber(Pop3ClientError::kTlsHandshake) + net::TlsErrorOffset(failure));
}

}  // namespace quelma::pop3_client
