// The flags shared by the main thread and the two server threads, and the listener wake-up.
#pragma once

#include <atomic>
#include <mutex>

#include "platform/socket.h"

namespace quelma::link {

struct ServerFlags {
  std::atomic<bool> stopRequest{false};
  std::atomic<bool> stopped{true};  // true while the server thread is not running

  // The server registers its listening socket and its current connection so that shutdown
  // can wake a blocked accept or receive; it unregisters (nullptr) before closing them.
  void registerListener(platform::Socket* socket) {
    std::lock_guard<std::mutex> hold(mutex_);
    listener_ = socket;
  }
  void registerClient(platform::Socket* socket) {
    std::lock_guard<std::mutex> hold(mutex_);
    client_ = socket;
  }
  void wakeSockets() {
    std::lock_guard<std::mutex> hold(mutex_);
    if (listener_ != nullptr) listener_->wake();
    if (client_ != nullptr) client_->wake();
  }

 private:
  std::mutex mutex_;
  platform::Socket* listener_ = nullptr;
  platform::Socket* client_ = nullptr;
};

struct ServerControl {
  ServerFlags pop3Srv;
  ServerFlags smtpSrv;
};

}  // namespace quelma::link
