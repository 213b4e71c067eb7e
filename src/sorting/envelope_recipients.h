// Whom the provider delivered this copy of a message to, read from the envelope headers it adds,
// for one provider mailbox shared by several people ("multi-drop"): a list message to three of
// them arrives as three copies, each naming its own recipient there, whatever its To: says.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "config/configuration.h"
#include "sorting/message_header.h"

namespace quelma::sorting {

// The headers read, in this order; the first group that names a local user decides. Of
// Received only the topmost counts (its "for <...>"), as the lower ones are other hops.
inline constexpr std::string_view kEnvelopeHeaders[][2] = {
    {"Delivered-To", ""}, {"X-Original-To", ""}, {"Envelope-To", ""}, {"X-Envelope-To", ""}, {"Received", ""},
    {"To", "Cc"}};

// The local users (indexes in the user table, each once, in the order found).
std::vector<std::size_t> EnvelopeRecipients(const MessageHeader& header, const config::Configuration& config);

// The addresses of an address-list value: the "<...>" of each item, or its bare word with "@";
// quoted names and comments are passed over.
std::vector<std::string> AddressesIn(std::string_view value);

// The address after "for" in a Received value, or empty.
std::string ReceivedFor(std::string_view value);

// The local user an address names: its domain is the office's (LocalDomain, compared as the
// SMTP server does) and its local part, or the part before a "+", is a user's name; -1 if none.
int LocalUserOf(std::string_view address, const config::Configuration& config);

}  // namespace quelma::sorting
