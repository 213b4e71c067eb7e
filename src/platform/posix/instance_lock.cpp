// POSIX instance lock: flock on a lock file; the kernel drops it when the process ends.
#include <errno.h>
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

std::optional<bool> InstanceLock::IsHeld(const std::string& programDir) {
  const int fd = ::open((programDir + "quelma.lock").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? std::optional<bool>(false) : std::nullopt;
  const bool free = ::flock(fd, LOCK_SH | LOCK_NB) == 0;
  const bool held = !free && errno == EWOULDBLOCK;
  ::close(fd);  // lets go of the shared lock too
  if (!free && !held) return std::nullopt;
  return held;
}

InstanceLock::~InstanceLock() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

}  // namespace quelma::platform
