// The postmaster's notice about a message too large for its account's "maxsize=": it stays at
// the provider, and the notice says what it is, so someone can fetch it another way.
#pragma once

#include <cstdint>
#include <string>

#include "config/configuration.h"

namespace quelma::sorting {

struct LeftAtProvider {
  std::string server;
  std::string login;
  std::string folder;            // an IMAP account's folder; empty for POP3
  unsigned long number = 0;      // on the server, in this session (IMAP: its UID)
  unsigned long long bytes = 0;  // as LIST (or RFC822.SIZE) gave it
  std::uint32_t limitKb = 0;
  std::string header;  // as TOP (or BODY.PEEK[HEADER]) gave it, or empty
};

// The whole notice as it goes into the maildrop: header lines and text, CR LF lines.
std::string FormatSizeNotice(const config::Configuration& config, const LeftAtProvider& message);

// Appended to the postmaster's maildrop and synced; false when it could not be.
bool WriteSizeNotice(const config::Configuration& config, const LeftAtProvider& message);

}  // namespace quelma::sorting
