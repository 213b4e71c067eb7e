// The sessions of a local server, each on a thread of its own. At most `sessions` are served
// at once; a connection beyond them waits for a free place up to `maxWait` and then hears the
// server's busy reply, and one beyond `waiting` more hears it at once. A session that lasts
// longer than `lifetime` has its connection woken (shut), so a slow client holds one place for
// a bounded time and never the whole server.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "config/configuration.h"
#include "link/server_control.h"
#include "net/plain_stream.h"

namespace quelma::serving {

// The longest a session may last; then its connection is shut. Long enough for 100 MB at
// 60 kB/s, short enough that a client that drips its lines cannot keep its place all day.
inline constexpr std::chrono::minutes kSessionLifetime{30};

class SessionRunner {
 public:
  struct Limits {
    std::size_t sessions = 1;
    std::size_t waiting = 256;
    std::chrono::milliseconds maxWait{config::defaults::kServersTimeoutMs};
    std::chrono::milliseconds lifetime{kSessionLifetime};
  };
  // Both run on the session's thread with its SessionLabel set; the runner closes the
  // connection after them.
  // `socket` is what start() was given with the connection.
  using Serve = std::function<void(net::PlainStream& client, std::size_t socket)>;
  using Refuse = std::function<void(net::PlainStream& client)>;
  using Log = std::function<void(const std::string& text)>;

  SessionRunner(Limits limits, link::ServerFlags& flags, Serve serve, Refuse refuse, Log log);
  ~SessionRunner();
  SessionRunner(const SessionRunner&) = delete;
  SessionRunner& operator=(const SessionRunner&) = delete;

  // From the accept loop: the new connection (and the index of the listening socket it came
  // to) gets its number and its thread.
  void start(net::PlainStream client, std::size_t socket);
  // From the accept loop, about once a second: joins the threads that have ended and wakes
  // the connections of sessions past their lifetime.
  void tend();
  // Wakes every connection, lets the waiting ones go unserved, and joins every thread.
  void stopAll();
  // How many accepted connections wait for a place now.
  std::size_t waiting() const;

 private:
  struct Session;
  void run(Session& session);
  bool takePlace();

  Limits limits_;
  link::ServerFlags& flags_;
  Serve serve_;
  Refuse refuse_;
  Log log_;
  std::uint64_t lastNumber_ = 0;
  std::list<std::unique_ptr<Session>> sessions_;  // the accept loop's own

  mutable std::mutex mutex_;  // guards the three below
  std::condition_variable placeFreed_;
  std::size_t serving_ = 0;
  std::size_t waiting_ = 0;
  bool stopping_ = false;
};

// From a session's own thread: its lifetime starts over now (an IMAP client's command renews
// the session, so a client that stays connected in IDLE keeps its place while it is active).
void RenewSessionLifetime();

}  // namespace quelma::serving
