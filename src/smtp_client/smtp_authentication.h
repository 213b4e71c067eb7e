// The ESMTP login methods the provider session knows: which one to take, and their answers.
#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "smtp_client/smtp_client_error.h"

namespace quelma::smtp_client {

enum class AuthMethod { kNone, kCramMd5, kPlain, kLogin };

// The best method the EHLO reply names anywhere in its text: CRAM-MD5, then PLAIN, then LOGIN.
AuthMethod ChooseAuthMethod(std::string_view ehloReply);

// Whether a line of the EHLO reply names `keyword` as its extension ("250-STARTTLS").
bool EhloOffers(std::string_view ehloReply, std::string_view keyword);

// Whether the AUTH line of the EHLO reply lists `mechanism` ("250-AUTH PLAIN XOAUTH2").
bool EhloOffersMechanism(std::string_view ehloReply, std::string_view mechanism);

// Base64 of NUL name NUL password (an empty authorisation identity).
std::string PlainCredentials(std::string_view name, std::string_view password);

// The Base64 answer to a "334 <base64 challenge>" reply: "name hex-digest", the digest an
// HMAC-MD5 of the bracketed challenge keyed with the password; an error when the decoded
// challenge holds no '<', or no '>' after it.
std::variant<std::string, SmtpClientError> CramMd5Answer(std::string_view reply, std::string_view name, std::string_view password);

}  // namespace quelma::smtp_client
