// Reading the texts of dialog fields: cut to a field's length, read as a decimal number.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "config/configuration.h"

namespace quelma::dialogs {

// At most `length` bytes of `text`, as a field of that many characters gives them.
inline std::string Cut(std::string_view text, std::size_t length) { return std::string(text.substr(0, length)); }

// The decimal number the field's text begins with (after blanks), or nothing when it begins
// with no digit. Values too large for 32 bits read as the largest.
std::optional<std::uint32_t> ReadDecimal(std::string_view text);

// The text with every byte of value 1 to 32 removed, cut to `length` first.
std::string Squeezed(std::string_view text, std::size_t length);

// A field that holds a count: blanks ignored, empty reads as 0. Nothing when anything but
// digits remains or the number is above `highest`.
std::optional<std::uint32_t> ReadCount(std::string_view field, std::uint32_t highest);

// The TLS choice of a connection as its list shows it: 0 none, 1 after a plain start (STLS or
// STARTTLS), 2 from the first byte.
int TlsChoiceOf(config::TlsMode mode);
config::TlsMode TlsModeOfChoice(int choice);

// The port field after the TLS choice changed from `from` to `to`: the usual port of the new
// choice when the field shows the usual port of the old one (or nothing), else unchanged.
// `usual` holds the three usual ports (none, after a plain start, from the first byte).
std::string PortAfterTlsChoice(const std::string& port, int from, int to, const std::uint16_t (&usual)[3]);

inline constexpr std::uint16_t kAccountUsualPorts[3] = {config::defaults::kPop3Port, config::defaults::kPop3Port,
                                                       config::defaults::kPop3sPort};
inline constexpr std::uint16_t kSmtpUsualPorts[3] = {config::defaults::kSmtpPort, config::defaults::kSubmissionPort,
                                                    config::defaults::kSmtpsPort};

// A fingerprint field: its normalised form, or nothing when it is neither empty nor 64 hex
// digits (colons and blanks allowed).
std::optional<std::string> AcceptFingerprint(std::string_view field);

}  // namespace quelma::dialogs
