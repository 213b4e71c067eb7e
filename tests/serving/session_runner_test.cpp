// The session runner on its own: a session past its lifetime is cut off and said so, and a
// stop ends sessions blocked in a receive.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

#include "serving/session_runner.h"
#include "net/listener.h"

namespace quelma::serving {
using link::ServerFlags;
namespace {

// Connected pairs over 127.0.0.1: the runner gets the accepted end, the test keeps the other.
class Pairs {
 public:
  Pairs() { listener_.open(platform::kLoopbackAddress, 0, 16); }
  net::PlainStream accept(platform::Socket& far) {
    far = platform::Socket::CreateTcp();
    far.connect(platform::kLoopbackAddress, *listener_.localPort());
    for (;;) {
      if (auto accepted = listener_.accept()) {
        accepted->setReceiveTimeout(20000);
        return std::move(*accepted);
      }
    }
  }

 private:
  net::Listener listener_;
};

struct Recorder {
  std::mutex mutex;
  std::vector<std::string> lines;
  std::atomic<int> received{0};  // receives that ended
  SessionRunner::Log log() {
    return [this](const std::string& text) {
      std::lock_guard<std::mutex> hold(mutex);
      lines.push_back(text);
    };
  }
};

TEST(SessionRunner, ASessionPastItsLifetimeIsCutOff) {
  Pairs pairs;
  ServerFlags flags;
  Recorder r;
  SessionRunner::Limits limits;
  limits.sessions = 2;
  limits.lifetime = std::chrono::milliseconds(100);
  SessionRunner runner(
      limits, flags,
      [&r](net::PlainStream& client, std::size_t) {
        char c;
        while (client.receive(&c, 1) > 0) {  // a client that drips bytes for as long as it likes
        }
        ++r.received;
      },
      [](net::PlainStream&) {}, r.log());
  platform::Socket far;
  runner.start(pairs.accept(far), 0);
  std::atomic<bool> dripping{true};
  std::thread drip([&] {
    while (dripping) {
      far.sendAll("x");
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  for (int i = 0; i < 2000 && r.received == 0; ++i) {
    runner.tend();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  dripping = false;
  drip.join();
  EXPECT_EQ(r.received, 1) << "the 20 s receive time-out never came into it";
  runner.stopAll();
  ASSERT_EQ(r.lines.size(), 1u);
  EXPECT_EQ(r.lines[0].rfind("Сеанс длился дольше", 0), 0u);
}

// Waits (boundedly) until `reached` holds; whether it did.
bool Until(const std::function<bool()>& reached) {
  for (int i = 0; i < 20000 && !reached(); ++i) std::this_thread::yield();
  for (int i = 0; i < 2000 && !reached(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return reached();
}

TEST(SessionRunner, AStopEndsBlockedSessionsAndWaitingOnes) {
  Pairs pairs;
  ServerFlags flags;
  Recorder r;
  std::atomic<int> refused{0}, serving{0};
  SessionRunner::Limits limits;
  limits.sessions = 3;
  limits.maxWait = std::chrono::milliseconds(60000);
  SessionRunner runner(
      limits, flags,
      [&r, &serving](net::PlainStream& client, std::size_t) {
        ++serving;
        char c;
        client.receive(&c, 1);
        ++r.received;
      },
      [&refused](net::PlainStream&) { ++refused; }, r.log());
  std::vector<platform::Socket> far(5);
  for (auto& f : far) runner.start(pairs.accept(f), 0);
  ASSERT_TRUE(Until([&] { return serving == 3 && runner.waiting() == 2; })) << "three served, two waiting";
  flags.stopRequest = true;
  runner.stopAll();
  EXPECT_EQ(r.received, 3);
  EXPECT_EQ(refused, 0) << "a stop is no busy reply";
  EXPECT_TRUE(r.lines.empty());
  for (auto& f : far) {
    f.setReceiveTimeout(20000);
    char c;
    EXPECT_EQ(f.receive(&c, 1), 0) << "closed, served or waiting";
  }
}

// The number of sessions served is told at every change, in order, and counts only the served
// ones (not those waiting for a place): the Windows program shows the IMAP server's.
TEST(SessionRunner, TellsTheSessionsServedAtEveryChange) {
  Pairs pairs;
  ServerFlags flags;
  Recorder r;
  std::mutex toldMutex;
  std::vector<std::size_t> told;
  flags.sessionsChanged = [&](std::size_t sessions) {
    std::lock_guard<std::mutex> hold(toldMutex);
    told.push_back(sessions);
  };
  SessionRunner::Limits limits;
  limits.sessions = 2;
  limits.maxWait = std::chrono::milliseconds(60000);
  SessionRunner runner(
      limits, flags,
      [&r](net::PlainStream& client, std::size_t) {
        char c;
        client.receive(&c, 1);  // served until its client sends a byte
        ++r.received;
      },
      [](net::PlainStream&) {}, r.log());
  std::vector<platform::Socket> far(3);
  for (auto& f : far) runner.start(pairs.accept(f), 0);
  ASSERT_TRUE(Until([&] { return flags.sessions() == 2 && runner.waiting() == 1; })) << "two served, one waiting";
  for (auto& f : far) f.sendAll("x");
  ASSERT_TRUE(Until([&] { return r.received == 3; }));
  runner.stopAll();
  EXPECT_EQ(flags.sessions(), 0u);
  std::lock_guard<std::mutex> hold(toldMutex);
  ASSERT_EQ(told.size(), 6u) << "three starts and three ends";
  EXPECT_EQ(told.back(), 0u);
  std::size_t counted = 0;
  for (const std::size_t sessions : told) {
    EXPECT_EQ(sessions > counted ? sessions - counted : counted - sessions, 1u) << "one change at a time";
    EXPECT_LE(sessions, 2u) << "never more than the places";
    counted = sessions;
  }
}

// Connections the server has not yet accepted when it stops are accepted and closed, so that
// their clients see the end at once rather than a reset or, on some systems, nothing.
TEST(SessionRunner, AStopClosesTheConnectionsStillQueued) {
  net::Listener listener;
  ASSERT_EQ(listener.open(platform::kLoopbackAddress, 0, 16), net::ListenFailure::kNone);
  std::vector<platform::Socket> queued(3);
  for (auto& q : queued) {
    q = platform::Socket::CreateTcp();
    ASSERT_TRUE(q.connect(platform::kLoopbackAddress, *listener.localPort())) << "queued by the system";
  }
  listener.wake();  // as a stop does: the listening sockets stay open for what is queued
  EXPECT_FALSE(listener.accept()) << "the wake-up ends the wait, and takes no connection";
  EXPECT_EQ(listener.close(), queued.size());
  for (auto& q : queued) {
    q.setReceiveTimeout(20000);
    char c;
    EXPECT_EQ(q.receive(&c, 1), 0) << "an orderly close";
  }
}

}  // namespace
}  // namespace quelma::serving
