// When certificates end: each provider server's as its last handshake showed it (kept for the
// process's life), and the reading of the date text the TLS libraries give.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace quelma::net {

// "2026-01-31 23:59:59 UTC" as seconds since 1970; nothing for any other text.
std::optional<std::int64_t> CertificateTimeSeconds(const std::string& text);

// A provider server's certificate seen in a handshake that passed its checks.
void NoteProviderCertificate(const std::string& host, const std::string& notAfter);
// Each provider host seen, with when its certificate ends.
std::map<std::string, std::int64_t> ProviderCertificateEnds();

}  // namespace quelma::net
