// Sockets on 127.0.0.1: listen, connect, time-outs and error numbers, waking a blocked accept.
#include <gtest/gtest.h>

#include <algorithm>

#include <thread>

#include "platform/files.h"
#include "platform/socket.h"

namespace quelma::platform {
namespace {

Socket ListenOnAnyPort(std::uint16_t& port) {
  Socket listener = Socket::CreateTcp();
  EXPECT_TRUE(listener.valid());
  EXPECT_TRUE(listener.bind(kLoopbackAddress, 0));
  EXPECT_TRUE(listener.listen(1));
  port = listener.localPort().value_or(0);
  EXPECT_NE(port, 0);
  return listener;
}

// A client connected to a server-side socket over loopback.
struct Connection {
  Socket client;
  Socket served;
};

Connection Connect() {
  std::uint16_t port = 0;
  Socket listener = ListenOnAnyPort(port);
  Connection c{Socket::CreateTcp(), Socket()};
  EXPECT_TRUE(c.client.connect(kLoopbackAddress, port));
  c.served = listener.accept();
  EXPECT_TRUE(c.served.valid());
  return c;
}

TEST(Socket, ConnectSendReceiveAndPeerAddress) {
  ASSERT_TRUE(InitSocketLibrary());
  auto [client, served] = Connect();
  EXPECT_EQ(served.peerAddress()->toString(), "127.0.0.1");

  EXPECT_TRUE(client.sendAll("+OK hello\r\n"));
  char buffer[64];
  const long n = served.receive(buffer, sizeof buffer);
  EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(n > 0 ? n : 0)), "+OK hello\r\n");

  client.close();
  EXPECT_EQ(served.receive(buffer, sizeof buffer), 0) << "a closed peer reads as 0 bytes";
}

TEST(Socket, ReceiveTimeOutIsWinsockTimedOut) {
  ASSERT_TRUE(InitSocketLibrary());
  auto [client, served] = Connect();
  ASSERT_TRUE(served.setSendTimeout(200));
  ASSERT_TRUE(served.setReceiveTimeout(200));
  char buffer[8];
  EXPECT_EQ(served.receive(buffer, sizeof buffer), -1);
  EXPECT_EQ(LastSocketError(), 10060);
}

TEST(Socket, RefusedConnectionIsWinsockConnRefused) {
  ASSERT_TRUE(InitSocketLibrary());
  std::uint16_t port = 0;
  { Socket closed = ListenOnAnyPort(port); }
  Socket client = Socket::CreateTcp();
  EXPECT_FALSE(client.connect(kLoopbackAddress, port));
  EXPECT_FALSE(FileExists("/no/such/file"));  // an unrelated call in between
  EXPECT_EQ(LastSocketError(), 10061) << "the socket error outlives unrelated calls";
}

#ifndef _WIN32
TEST(Socket, ConnectTimeOutIsWinsockTimedOut) {
  ASSERT_TRUE(InitSocketLibrary());
  Socket listener = Socket::CreateTcp();
  ASSERT_TRUE(listener.bind(kLoopbackAddress, 0));
  ASSERT_TRUE(listener.listen(0));  // never accepts: once the backlog is full, SYNs are dropped
  std::vector<Socket> clients;
  for (int i = 0; i < 8; ++i) {
    Socket s = Socket::CreateTcp();
    ASSERT_TRUE(s.setSendTimeout(300));
    if (!s.connect(kLoopbackAddress, *listener.localPort())) {
      EXPECT_EQ(LastSocketError(), 10060) << "connect " << i;
      return;
    }
    clients.push_back(std::move(s));
  }
  GTEST_SKIP() << "the backlog never filled";
}
#endif

TEST(Socket, BindingATakenPortFails) {
  ASSERT_TRUE(InitSocketLibrary());
  std::uint16_t port = 0;
  Socket first = ListenOnAnyPort(port);
  Socket second = Socket::CreateTcp();
  const bool bound = second.bind(kLoopbackAddress, port) && second.listen(1);
  EXPECT_FALSE(bound);
}

TEST(Socket, WakeEndsABlockedAcceptFromAnotherThread) {
  ASSERT_TRUE(InitSocketLibrary());
  std::uint16_t port = 0;
  Socket listener = ListenOnAnyPort(port);
  bool accepted = true;
  std::thread server([&] { accepted = listener.accept().valid(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  listener.wake();
  server.join();
  EXPECT_FALSE(accepted);
}

TEST(Socket, DottedAddressesAndNames) {
  ASSERT_TRUE(InitSocketLibrary());
  const std::pair<const char*, bool> dotted[] = {{"127.0.0.1", true}, {"10.1.2.255", true}, {"256.0.0.1", false},
                                                 {"1.2.3", false},    {"1.2.3.4.5", false}, {"a.b.c.d", false},
                                                 {"", false},         {"1..2.3", false}};
  for (const auto& [text, ok] : dotted) EXPECT_EQ(ParseDottedAddress(text).has_value(), ok) << text;
  EXPECT_EQ(ResolveHostAddresses("127.0.0.1"), std::vector<IpAddress>{IpAddress::V4(kLoopbackAddress)});
  EXPECT_EQ(ResolveHostAddresses("::1").at(0).toString(), "::1");
  const auto local = ResolveHostAddresses("localhost");
  EXPECT_TRUE(std::any_of(local.begin(), local.end(), [](const IpAddress& a) { return a.toString() == "127.0.0.1"; }));
}

// Over IPv6 loopback: bind, connect, the peer's address as text.
TEST(Socket, Ipv6Loopback) {
  ASSERT_TRUE(InitSocketLibrary());
  Socket listening = Socket::CreateTcp(true);
  const IpAddress loopback6 = *ParseIpAddress("::1");
  if (!listening.bind(loopback6, 0)) GTEST_SKIP() << "no IPv6 on this machine";
  ASSERT_TRUE(listening.listen(4));
  Socket client = Socket::CreateTcp(true);
  ASSERT_TRUE(client.connect(loopback6, *listening.localPort()));
  Socket served = listening.accept();
  ASSERT_TRUE(served.valid());
  EXPECT_EQ(served.peerAddress()->toString(), "::1");
  EXPECT_TRUE(served.peerAddress()->v6);
}

}  // namespace
}  // namespace quelma::platform
