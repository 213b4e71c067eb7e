// Every list a setting holds ("10.0.0.0/8, 192.168.1.0/24", "ivan,petr", OAuth scopes) read
// one way, and the list of addresses the local servers listen on, judged one way for the
// dialogs, the command line, the check and the servers.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/socket.h"

namespace quelma::config {

// The items of a list: separated by commas, blanks, tabs or other bytes up to 32; empty items
// are dropped, the order kept.
std::vector<std::string> ListItems(std::string_view text);

// The items joined by single commas, as quelma.cfg keeps a list.
std::string ListText(const std::vector<std::string>& items);

// LISTEN_ADDRESSES: "*" (or nothing) is every address, IPv4 and IPv6; otherwise every item
// must be an IP address, and a list with one that is not is refused as a whole (the servers do
// not guess which addresses were meant).
struct ListenAddresses {
  bool every = false;
  std::vector<platform::IpAddress> addresses;  // with `every`: the two wildcard addresses
};
std::optional<ListenAddresses> ReadListenAddresses(std::string_view text, std::string* badItem = nullptr);

// "\"x\" не является IP-адресом." for a refused list, as every front end and the servers say it.
std::optional<std::string> ListenAddressesProblem(std::string_view text);

}  // namespace quelma::config
