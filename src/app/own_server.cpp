// Telling this program's own POP3 server from a provider's.
#include "app/own_server.h"

#include "platform/socket.h"
#include "platform/text.h"

namespace quelma::app {
namespace {

bool IsLoopback(const platform::IpAddress& address) {
  if (!address.v6) return address.bytes[0] == 127;
  for (std::size_t i = 0; i < 15; ++i) {
    if (address.bytes[i] != 0) return false;
  }
  return address.bytes[15] == 1;
}

}  // namespace

bool IsThisMachine(const std::string& host) {
  if (platform::EqualsIgnoreAsciiCase(host, "localhost")) return true;
  std::optional<platform::IpAddress> address;
  if (const auto dotted = platform::ParseDottedAddress(host)) {
    address = platform::IpAddress::V4(*dotted);
  } else {
    address = platform::ParseIpAddress(host);
  }
  if (!address) return false;
  if (IsLoopback(*address)) return true;
  // An address of one of this machine's interfaces is the only kind a socket can be bound to.
  if (!platform::InitSocketLibrary()) return false;
  platform::Socket probe = platform::Socket::CreateTcp(address->v6);
  return probe.valid() && probe.bind(*address, 0);
}

bool NamesOwnPop3Server(const config::Configuration& config, const config::ProviderAccount& account) {
  const auto port = static_cast<std::int32_t>(account.port);
  const bool ownPort = port == config.POP3_SRV_PORT ||
                       (account.tls == config::TlsMode::kImplicit && config.POP3_SRV_TLS_PORT != 0 &&
                        port == config.POP3_SRV_TLS_PORT && config::LocalTlsConfigured(config));
  return ownPort && IsThisMachine(account.server);
}

bool NamesOwnImapServer(const config::Configuration& config, const config::ProviderAccount& account) {
  const auto port = static_cast<std::int32_t>(account.port);
  const bool ownPort = config.IMAP_SRV_PORT != 0 &&
                       (port == config.IMAP_SRV_PORT ||
                        (account.tls == config::TlsMode::kImplicit && config.IMAP_SRV_TLS_PORT != 0 &&
                         port == config.IMAP_SRV_TLS_PORT && config::LocalTlsConfigured(config)));
  return ownPort && IsThisMachine(account.server);
}

bool NamesOwnServer(const config::Configuration& config, const config::ProviderAccount& account) {
  return account.proto == config::CollectProtocol::kImap ? NamesOwnImapServer(config, account)
                                                         : NamesOwnPop3Server(config, account);
}

std::string AccountTitle(std::size_t index, const config::ProviderAccount& account) {
  return "Счет " + std::to_string(index) + " (" + account.server + ":" + std::to_string(account.port) + ", " +
         account.login + ")";
}

}  // namespace quelma::app
