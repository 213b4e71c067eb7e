// An account that names this program's own POP3 or IMAP server is no provider: downloading it would take
// the local users' mail out and sort it back (and the default settings name it).
#pragma once

#include <string>

#include "config/configuration.h"

namespace quelma::app {

// A loopback address, "localhost", or an address of this machine (one a socket can be bound to).
// Names other than "localhost" are not resolved: a session must not wait for a name server.
bool IsThisMachine(const std::string& host);

// The account's server is this machine and its port that of the local POP3 server (or of its
// TLS port, for an account with TLS from the first byte).
bool NamesOwnPop3Server(const config::Configuration& config, const config::ProviderAccount& account);

// The same for an IMAP account and the local IMAP server.
bool NamesOwnImapServer(const config::Configuration& config, const config::ProviderAccount& account);

// The one of the two that the account's protocol asks.
bool NamesOwnServer(const config::Configuration& config, const config::ProviderAccount& account);

// "Счет 0 (127.0.0.1:110, postmaster)", as the log line and the check name it.
std::string AccountTitle(std::size_t index, const config::ProviderAccount& account);

}  // namespace quelma::app
