// The log lines about a TLS connection: why it was refused, and what it is once up; and the
// clients' handshake that logs them. The same words from both clients and from check-tls.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "net/tls.h"

namespace quelma::net {

// One line ending in CR LF, in Windows-1251 (certificate names come ASCII-escaped).
std::string TlsFailureText(const TlsOutcome& outcome, const TlsClientSettings& settings);

// "Установлено защищенное соединение: TLSv1.3, TLS_AES_256_GCM_SHA384" and CR LF.
std::string TlsUpText(const TlsOutcome& outcome);

// Why the local servers' certificate and key cannot be used, in words (no CR LF, no library
// text): for the settings dialog, the settings check and the servers' log.
std::string CredentialsProblemText(const CredentialsError& error);

// A local mail program's failed handshake with one of our servers: one line ending in CR LF,
// what happened in words and what to do, the library's text only at the end.
std::string LocalClientTlsFailureText(const TlsOutcome& outcome);

// The handshake of `tls` over `plain` and its log line: the secure stream, or nothing with
// the failure in `failure`.
std::unique_ptr<ByteStream> StartClientTls(const TlsClient& tls, ByteStream& plain,
                                           const std::function<void(const std::string&)>& log, TlsFailure& failure);

}  // namespace quelma::net
