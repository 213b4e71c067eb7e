// The envelope sender as the provider sees it (a local user's alias in place of the local
// address), and the From:/Reply-To: header lines rewritten to match it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "config/configuration.h"

namespace quelma::smtp_client {

inline constexpr std::size_t kMaxSender = 103;

// The address of a "MAIL FROM:<...>" line: from the twelfth byte up to the first '>', CR,
// LF or the end of the line. Nothing when it is longer than kMaxSender: such a message is
// refused rather than sent from a cut, wrong address.
std::optional<std::string> ExtractSender(std::string_view mailFromLine);

// Lower case; a local user's address (name@LocalDomain) becomes the user's alias, exactly as
// stored, when the user has one.
std::string RewriteSender(std::string_view sender, const config::Configuration& config);

// A From: or Reply-To: line whose address is in LocalDomain gets `sender` in its place; what
// followed the address is kept, lower-cased. Any other line comes back as it was.
std::string RewriteAddressHeader(std::string_view line, std::string_view sender, std::string_view localDomain);

}  // namespace quelma::smtp_client
