// Free disk space through statvfs: the blocks an unprivileged user may still use.
#include "platform/disk_space.h"

#include <sys/statvfs.h>

namespace quelma::platform {

std::optional<std::uint64_t> FreeDiskBytes(const std::string& path) {
  struct statvfs info {};
  if (statvfs(path.c_str(), &info) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(info.f_bavail) * static_cast<std::uint64_t>(info.f_frsize);
}

}  // namespace quelma::platform
