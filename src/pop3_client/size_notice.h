// The postmaster's notice about a message too large for its account's "maxsize=": it stays at
// the provider, and the notice says what it is, so someone can fetch it another way.
#pragma once

#include <cstdint>
#include <string>

#include "config/configuration.h"

namespace quelma::pop3_client {

struct LeftAtProvider {
  std::string server;
  std::string login;
  unsigned long number = 0;      // on the server, in this session
  unsigned long long bytes = 0;  // as LIST gave it
  std::uint32_t limitKb = 0;
  std::string header;  // as TOP gave it, or empty
};

// The whole notice as it goes into the maildrop: header lines and text, CR LF lines.
std::string FormatSizeNotice(const config::Configuration& config, const LeftAtProvider& message);

// Appended to the postmaster's maildrop and synced; false when it could not be.
bool WriteSizeNotice(const config::Configuration& config, const LeftAtProvider& message);

}  // namespace quelma::pop3_client
