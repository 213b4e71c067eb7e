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

// The handshake of `tls` over `plain` and its log line: the secure stream, or nothing with
// the failure in `failure`.
std::unique_ptr<ByteStream> StartClientTls(const TlsClient& tls, ByteStream& plain,
                                           const std::function<void(const std::string&)>& log, TlsFailure& failure);

}  // namespace quelma::net
