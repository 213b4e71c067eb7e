// Certificates for the Schannel builds: PEM files read with CryptoAPI, the server's
// certificate judged with the system's chain engine (plus the extra trusted ones, or a pin),
// and the local servers' certificate joined with its RSA key.
#pragma once

#define SECURITY_WIN32
#include <windows.h>
#include <wincrypt.h>
#include <security.h>
#include <schannel.h>

#include <string>
#include <vector>

#include "net/tls.h"

namespace quelma::net {

// Every certificate of a PEM file, appended to `out`; false with `error` when there is none.
// What a certificate says of itself, for the log, check-tls and its end date.
CertificateInfo DescribeCertificate(PCCERT_CONTEXT cert);

bool LoadPemCertificates(const std::string& path, std::vector<PCCERT_CONTEXT>& out, std::string& error);

// Fills `outcome.chain` from the handshaken context and sets `outcome.failure` when the
// certificate is not to be trusted for `settings.host`.
void JudgeServerCertificate(const CtxtHandle& context, const TlsClientSettings& settings,
                            const std::vector<PCCERT_CONTEXT>& extraTrusted, TlsOutcome& outcome);

// The same judgement of the server's own certificate `leaf` (with the others it sent in its
// store), wherever it came from: an Schannel context or WinHTTP's.
void JudgeServerChain(PCCERT_CONTEXT leaf, const TlsClientSettings& settings,
                      const std::vector<PCCERT_CONTEXT>& extraTrusted, TlsOutcome& outcome);

// The first certificate of `certFile` with the RSA key of `keyFile` (PKCS#8 or PKCS#1 PEM)
// attached; null with `error` on a failure.
PCCERT_CONTEXT LoadCertificateWithKey(const std::string& certFile, const std::string& keyFile, CredentialsError& error);

// Deletes the key container LoadCertificateWithKey made for `cert` (each load makes one, and a
// container outlives the process).
void ForgetKeyContainer(PCCERT_CONTEXT cert);

std::string CipherName(ALG_ID cipher, DWORD strength);

// "0x800B0109 A certificate chain processed, but terminated in a root certificate which is not
// trusted by the trust provider." - a status or error code with the system's words for it.
std::string SystemMessage(DWORD code);

}  // namespace quelma::net
