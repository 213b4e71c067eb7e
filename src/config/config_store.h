// The current configuration as immutable snapshots: the main thread publishes, others read.
#pragma once

#include <memory>
#include <mutex>

#include "config/configuration.h"

namespace quelma::config {

class ConfigStore {
 public:
  explicit ConfigStore(Configuration initial = {});

  // The snapshot a connection, run or session works with from start to end.
  std::shared_ptr<const Configuration> current() const;

  // Called by the main thread after every load and every change in memory.
  void publish(Configuration config);

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const Configuration> current_;
};

}  // namespace quelma::config
