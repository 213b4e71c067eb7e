// The flags shared by the main thread and the server threads, the listener wake-up, and the
// number of sessions each server serves.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <set>

#include "net/byte_stream.h"
#include "net/listener.h"

namespace quelma::link {

struct ServerFlags {
  std::atomic<bool> stopRequest{false};
  std::atomic<bool> stopped{true};  // true while the server thread is not running

  // The server registers its listening socket and the connections it serves so that shutdown
  // can wake a blocked accept, receive or send; it unregisters them before closing them.
  void registerListener(net::Listener* listener) {
    std::lock_guard<std::mutex> hold(mutex_);
    listener_ = listener;
  }
  void addClient(net::ByteStream* stream) {
    std::lock_guard<std::mutex> hold(mutex_);
    clients_.insert(stream);
  }
  void removeClient(net::ByteStream* stream) {
    std::lock_guard<std::mutex> hold(mutex_);
    clients_.erase(stream);
  }
  // Wakes one connection while it is registered (never one being closed meanwhile).
  void wakeClient(net::ByteStream* stream) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (clients_.count(stream) != 0) stream->wake();
  }
  // Told the number of sessions served whenever it changes, in the order of the changes (the
  // Windows program's status bar shows the IMAP server's); set before the server thread starts.
  std::function<void(std::size_t sessions)> sessionsChanged;
  void sessionStarted() { countSessions(+1); }
  void sessionEnded() { countSessions(-1); }
  std::size_t sessions() const {
    std::lock_guard<std::mutex> hold(countMutex_);
    return sessions_;
  }

  void wakeSockets() {
    std::lock_guard<std::mutex> hold(mutex_);
    if (listener_ != nullptr) listener_->wake();
    for (net::ByteStream* client : clients_) client->wake();
  }

 private:
  void countSessions(int change) {
    std::lock_guard<std::mutex> hold(countMutex_);
    sessions_ = change > 0 ? sessions_ + 1 : sessions_ - 1;
    if (sessionsChanged) sessionsChanged(sessions_);
  }
  std::mutex mutex_;
  net::Listener* listener_ = nullptr;
  std::set<net::ByteStream*> clients_;
  mutable std::mutex countMutex_;  // held while telling, so the last number told is the count
  std::size_t sessions_ = 0;
};

struct ServerControl {
  ServerFlags pop3Srv;
  ServerFlags smtpSrv;
  ServerFlags imapSrv;  // stays stopped while IMAP_SRV_PORT is 0 (the IMAP server off)
};

}  // namespace quelma::link
