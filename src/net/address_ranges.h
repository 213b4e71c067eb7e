// Networks written as "10.0.0.0/8, fe80::/10" (an address alone is the one host): read once,
// then asked whether a peer's address lies in one of them.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/socket.h"

namespace quelma::net {

struct AddressRange {
  platform::IpAddress base;
  int prefix = 0;  // leading bits that must match
};

// Every range of a list's items (config::ListItems splits the setting); nothing when an item
// cannot be read.
std::optional<std::vector<AddressRange>> ParseAddressRanges(const std::vector<std::string>& items);

bool InRanges(const std::vector<AddressRange>& ranges, const platform::IpAddress& address);

}  // namespace quelma::net
