// Connecting to the provider: an address written as such (IPv4 or IPv6) is not looked up, and
// of several addresses the first that answers is taken.
#include <gtest/gtest.h>

#include "net/listener.h"
#include "net/plain_stream.h"

namespace quelma::net {
namespace {

struct Logged {
  std::vector<std::string> lines;
  std::function<void(const std::string&)> log() {
    return [this](const std::string& text) { lines.push_back(text); };
  }
};

TEST(Connect, TheNextAddressIsTriedWhenOneDoesNotAnswer) {
  Listener v4;
  ASSERT_EQ(v4.open(platform::kLoopbackAddress, 0, 4), ListenFailure::kNone);
  const std::uint16_t port = *v4.localPort();
  // Nothing listens on ::1 at that port (the listener is IPv4 only): that address refuses.
  const std::vector<platform::IpAddress> addresses = {*platform::ParseIpAddress("::1"),
                                                      platform::IpAddress::V4(platform::kLoopbackAddress)};
  Logged logged;
  PlainStream stream;
  EXPECT_EQ(ConnectToAny(addresses, port, 5000, stream, logged.log()), ConnectFailure::kNone);
  EXPECT_EQ(logged.lines, std::vector<std::string>{"Пробую следующий адрес сервера: 127.0.0.1\r\n"});
  PlainStream failed;
  EXPECT_EQ(ConnectToAny({addresses[0]}, port, 5000, failed, logged.log()), ConnectFailure::kConnect);
}

TEST(Connect, AnIpv6AddressIsTakenAsWritten) {
  Listener v6;
  if (v6.open(*platform::ParseIpAddress("::1"), 0, 4) != ListenFailure::kNone) GTEST_SKIP() << "no IPv6 here";
  Logged logged;
  PlainStream stream;
  EXPECT_EQ(ConnectToServer("::1", *v6.localPort(), 5000, stream, logged.log()), ConnectFailure::kNone);
  EXPECT_EQ(logged.lines, std::vector<std::string>{"Определение адреса не требуется\r\n"});
  std::size_t tag = 7;
  const auto accepted = v6.accept(&tag);
  ASSERT_TRUE(accepted);
  EXPECT_EQ(accepted->peerAddress()->toString(), "::1");
  EXPECT_EQ(tag, 0u);
}

}  // namespace
}  // namespace quelma::net
