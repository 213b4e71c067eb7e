// Network lists as RELAY_NETWORKS writes them, and which addresses lie in them.
#include <gtest/gtest.h>

#include "config/configuration.h"
#include "config/list_setting.h"
#include "net/address_ranges.h"

namespace quelma::net {
namespace {

TEST(AddressRanges, TheDefaultRelayNetworksHoldLoopbackAndThePrivateRangesOnly) {
  const auto ranges = ParseAddressRanges(config::ListItems(config::defaults::kRelayNetworks));
  ASSERT_TRUE(ranges);
  const struct Case {
    const char* address;
    bool inside;
  } cases[] = {
      {"127.0.0.1", true},   {"127.255.0.9", true},   {"10.200.1.2", true},     {"172.16.0.1", true},
      {"172.31.255.255", true}, {"172.32.0.1", false}, {"192.168.77.1", true},  {"192.169.0.1", false},
      {"169.254.3.4", true}, {"8.8.8.8", false},      {"11.0.0.1", false},      {"::1", true},
      {"::2", false},        {"fe80::1", true},       {"febf::1", true},        {"fec0::1", false},
      {"fd12:3456::1", true}, {"2001:db8::1", false}, {"::ffff:8.8.8.8", false},
  };
  for (const Case& c : cases) {
    const auto address = platform::ParseIpAddress(c.address);
    ASSERT_TRUE(address) << c.address;
    EXPECT_EQ(InRanges(*ranges, *address), c.inside) << c.address;
  }
}

TEST(AddressRanges, ListsAreReadWholeOrNotAtAll) {
  const struct Case {
    const char* text;
    bool readable;
    std::size_t count;
  } cases[] = {
      {"", true, 0},
      {"192.168.1.5", true, 1},
      {" 10.0.0.0/8 ,  ::1/128 ", true, 2},
      {"0.0.0.0/0", true, 1},
      {"10.0.0.0/33", false, 0},
      {"10.0.0.0/", false, 0},
      {"10.0.0.0/8x", false, 0},
      {"office.ru", false, 0},
      {"::1/129", false, 0},
  };
  for (const Case& c : cases) {
    const auto ranges = ParseAddressRanges(config::ListItems(c.text));
    EXPECT_EQ(ranges.has_value(), c.readable) << c.text;
    if (ranges) {
      EXPECT_EQ(ranges->size(), c.count) << c.text;
    }
  }
  const auto everyone = ParseAddressRanges({"0.0.0.0/0"});
  EXPECT_TRUE(InRanges(*everyone, platform::IpAddress::V4(platform::Ipv4Address{0x08080808u})));
  EXPECT_FALSE(InRanges(*everyone, *platform::ParseIpAddress("::1"))) << "an IPv4 range holds no IPv6 address";
}

}  // namespace
}  // namespace quelma::net
