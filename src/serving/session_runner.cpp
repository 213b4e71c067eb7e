// Threads, places and lifetimes of the sessions of a local server.
#include "serving/session_runner.h"

#include <atomic>
#include <thread>

#include "link/activity_log.h"

namespace quelma::serving {

using SteadyClock = std::chrono::steady_clock;
using link::SessionLabel;

struct SessionRunner::Session {
  net::PlainStream client;
  std::size_t socket = 0;
  std::uint64_t number = 0;
  std::thread thread;
  std::atomic<bool> ended{false};
  // Set while the session is served; tend() reads it to find the overdue ones.
  std::atomic<SteadyClock::rep> servedSince{0};
  std::atomic<bool> overdue{false};
};

namespace {

thread_local std::atomic<SteadyClock::rep>* tServedSince = nullptr;

}  // namespace

void RenewSessionLifetime() {
  if (tServedSince) tServedSince->store(SteadyClock::now().time_since_epoch().count());
}

SessionRunner::SessionRunner(Limits limits, link::ServerFlags& flags, Serve serve, Refuse refuse, Log log)
    : limits_(limits), flags_(flags), serve_(std::move(serve)), refuse_(std::move(refuse)), log_(std::move(log)) {
  if (limits_.sessions == 0) limits_.sessions = 1;
}

SessionRunner::~SessionRunner() { stopAll(); }

void SessionRunner::start(net::PlainStream client, std::size_t socket) {
  auto session = std::make_unique<Session>();
  session->client = std::move(client);
  session->socket = socket;
  session->number = ++lastNumber_;
  if (sessions_.size() >= limits_.sessions + limits_.waiting) {
    SessionLabel label(session->number);
    refuse_(session->client);
    session->client.close();
    return;
  }
  Session& s = *session;
  sessions_.push_back(std::move(session));
  s.thread = std::thread([this, &s] { run(s); });
}

// Waits for a free place; false when the wait ran out or the server stops.
bool SessionRunner::takePlace() {
  std::unique_lock<std::mutex> lock(mutex_);
  ++waiting_;
  // The stop request counts as soon as it is made: the front end wakes the sessions being served
  // before this runner hears of the stop, and a place they free must not go to a waiting client.
  const auto stopped = [this] { return stopping_ || flags_.stopRequest; };
  const bool free =
      placeFreed_.wait_for(lock, limits_.maxWait, [&] { return stopped() || serving_ < limits_.sessions; });
  --waiting_;
  if (!free || stopped()) return false;
  ++serving_;
  return true;
}

void SessionRunner::run(Session& s) {
  SessionLabel label(s.number);
  if (!takePlace()) {
    bool stopping = false;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      stopping = stopping_ || flags_.stopRequest;
    }
    if (!stopping) refuse_(s.client);
    s.client.close();
    s.ended = true;
    return;
  }
  s.servedSince = SteadyClock::now().time_since_epoch().count();
  flags_.addClient(&s.client);
  {
    // A stop either finds this connection registered and wakes it, or is seen here.
    std::lock_guard<std::mutex> hold(mutex_);
    if (stopping_ || flags_.stopRequest) s.client.wake();
  }
  tServedSince = &s.servedSince;
  flags_.sessionStarted();
  serve_(s.client, s.socket);
  flags_.sessionEnded();
  tServedSince = nullptr;
  flags_.removeClient(&s.client);
  if (s.overdue) {
    const auto minutes = std::chrono::duration_cast<std::chrono::minutes>(limits_.lifetime).count();
    log_("Сеанс длился дольше " + std::to_string(minutes) + " мин. и был прерван\r\n");
  }
  s.client.close();
  {
    std::lock_guard<std::mutex> hold(mutex_);
    --serving_;
  }
  placeFreed_.notify_one();
  s.ended = true;
}

void SessionRunner::tend() {
  const SteadyClock::rep now = SteadyClock::now().time_since_epoch().count();
  const SteadyClock::rep lifetime = std::chrono::duration_cast<SteadyClock::duration>(limits_.lifetime).count();
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    Session& s = **it;
    if (s.ended) {
      s.thread.join();
      it = sessions_.erase(it);
      continue;
    }
    const SteadyClock::rep since = s.servedSince;
    if (since != 0 && now - since > lifetime && !s.overdue.exchange(true)) flags_.wakeClient(&s.client);
    ++it;
  }
}

std::size_t SessionRunner::waiting() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return waiting_;
}

void SessionRunner::stopAll() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stopping_ = true;
  }
  placeFreed_.notify_all();
  for (auto& s : sessions_) flags_.wakeClient(&s->client);
  for (auto& s : sessions_) s->thread.join();
  sessions_.clear();
}

}  // namespace quelma::serving
