// The log line that says why a TLS connection was refused: the same words from both clients
// and from check-tls.
#pragma once

#include <string>

#include "net/tls.h"

namespace quelma::net {

// One line ending in CR LF, in Windows-1251 (certificate names come ASCII-escaped).
std::string TlsFailureText(const TlsOutcome& outcome, const TlsClientSettings& settings);

}  // namespace quelma::net
