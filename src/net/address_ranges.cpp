// Reading network lists and matching addresses against them, bit by bit.
#include "net/address_ranges.h"

#include <cstdlib>

namespace quelma::net {

std::optional<std::vector<AddressRange>> ParseAddressRanges(const std::vector<std::string>& items) {
  std::vector<AddressRange> ranges;
  for (const std::string& entry : items) {
    if (entry.empty()) continue;
    const std::size_t slash = entry.find('/');
    const auto base = platform::ParseIpAddress(entry.substr(0, slash));
    if (!base) return std::nullopt;
    const int bits = base->v6 ? 128 : 32;
    int prefix = bits;
    if (slash != std::string::npos) {
      const std::string digits = entry.substr(slash + 1);
      char* stop = nullptr;
      const long n = std::strtol(digits.c_str(), &stop, 10);
      if (digits.empty() || *stop != '\0' || n < 0 || n > bits) return std::nullopt;
      prefix = static_cast<int>(n);
    }
    ranges.push_back({*base, prefix});
  }
  return ranges;
}

bool InRanges(const std::vector<AddressRange>& ranges, const platform::IpAddress& address) {
  for (const AddressRange& range : ranges) {
    if (range.base.v6 != address.v6) continue;
    bool inside = true;
    for (int bit = 0; bit < range.prefix && inside; ++bit) {
      const std::uint8_t mask = static_cast<std::uint8_t>(0x80 >> (bit % 8));
      inside = (range.base.bytes[bit / 8] & mask) == (address.bytes[bit / 8] & mask);
    }
    if (inside) return true;
  }
  return false;
}

}  // namespace quelma::net
