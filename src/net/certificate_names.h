// Whether a certificate is for the host connected to: its DNS names (a "*." wildcard covers
// exactly one label, never a bare public suffix) or its IP addresses, compared without case.
// Schannel builds check with it; OpenSSL has its own check with the same rules.
#pragma once

#include <string>
#include <vector>

namespace quelma::net {

bool CertificateCoversHost(const std::vector<std::string>& names, const std::string& host);

}  // namespace quelma::net
