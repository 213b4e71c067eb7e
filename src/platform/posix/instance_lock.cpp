// POSIX instance lock: flock on a lock file; the kernel drops it when the process ends.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "platform/instance_lock.h"

namespace quelma::platform {

std::optional<InstanceLock> InstanceLock::TryAcquire(const std::string& programDir) {
  const int fd = ::open((programDir + "quelma.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return std::nullopt;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return std::nullopt;
  }
  return InstanceLock(fd);
}

InstanceLock::~InstanceLock() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

}  // namespace quelma::platform
