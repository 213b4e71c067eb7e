// The SASL messages that carry an OAuth 2.0 access token, for both clients: XOAUTH2 (Google's
// and Microsoft's) and OAUTHBEARER (RFC 7628). Each is the Base64 text to send.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quelma::net {

// "user=" LOGIN ^A "auth=Bearer " TOKEN ^A ^A
std::string Xoauth2Response(std::string_view login, std::string_view token);

// "n,a=" LOGIN "," ^A "host=" HOST ^A "port=" PORT ^A "auth=Bearer " TOKEN ^A ^A, the login
// with "=" and "," escaped as RFC 5801 asks ("=3D", "=2C").
std::string OauthBearerResponse(std::string_view login, std::string_view host, std::uint16_t port,
                                std::string_view token);

// What a client answers to the server's error challenge to end a failed exchange: ^A.
std::string OauthBearerAbort();

// The server's error challenge (Base64 of a JSON object, RFC 7628 section 3.2.2, and the same
// for XOAUTH2) as the log shows it: "status 401, scope ..., schemes bearer"; anything else
// shown as it came, control bytes as "?", at most 200 bytes.
std::string OauthErrorSummary(std::string_view challenge);

}  // namespace quelma::net
