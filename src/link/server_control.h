// The flags shared by the main thread and the two server threads, and the listener wake-up.
#pragma once

#include <atomic>
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
  void wakeSockets() {
    std::lock_guard<std::mutex> hold(mutex_);
    if (listener_ != nullptr) listener_->wake();
    for (net::ByteStream* client : clients_) client->wake();
  }

 private:
  std::mutex mutex_;
  net::Listener* listener_ = nullptr;
  std::set<net::ByteStream*> clients_;
};

struct ServerControl {
  ServerFlags pop3Srv;
  ServerFlags smtpSrv;
};

}  // namespace quelma::link
