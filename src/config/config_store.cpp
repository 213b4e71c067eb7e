// Snapshot publication: the lock is held only to swap or copy the pointer.
#include "config/config_store.h"

namespace quelma::config {

ConfigStore::ConfigStore(Configuration initial)
    : current_(std::make_shared<const Configuration>(std::move(initial))) {}

std::shared_ptr<const Configuration> ConfigStore::current() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return current_;
}

void ConfigStore::publish(Configuration config) {
  auto next = std::make_shared<const Configuration>(std::move(config));
  std::lock_guard<std::mutex> hold(mutex_);
  current_.swap(next);
}

}  // namespace quelma::config
