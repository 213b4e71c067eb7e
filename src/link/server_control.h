// The flags shared by the main thread and the two server threads, and the listener wake-up.
#pragma once

#include <atomic>
#include <mutex>

#include "net/byte_stream.h"
#include "net/listener.h"

namespace quelma::link {

struct ServerFlags {
  std::atomic<bool> stopRequest{false};
  std::atomic<bool> stopped{true};  // true while the server thread is not running

  // The server registers its listening socket and its current connection so that shutdown
  // can wake a blocked accept or receive; it unregisters (nullptr) before closing them.
  void registerListener(net::Listener* listener) {
    std::lock_guard<std::mutex> hold(mutex_);
    listener_ = listener;
  }
  void registerClient(net::ByteStream* stream) {
    std::lock_guard<std::mutex> hold(mutex_);
    client_ = stream;
  }
  void wakeSockets() {
    std::lock_guard<std::mutex> hold(mutex_);
    if (listener_ != nullptr) listener_->wake();
    if (client_ != nullptr) client_->wake();
  }

 private:
  std::mutex mutex_;
  net::Listener* listener_ = nullptr;
  net::ByteStream* client_ = nullptr;
};

struct ServerControl {
  ServerFlags pop3Srv;
  ServerFlags smtpSrv;
};

}  // namespace quelma::link
