// Windows file lock: LockFileEx on the lock file's first byte, waited for.
#include <windows.h>

#include "platform/file_lock.h"

namespace quelma::platform {

std::optional<FileLock> FileLock::Acquire(const std::string& path) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::nullopt;
  OVERLAPPED at{};
  if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at)) {
    CloseHandle(h);
    return std::nullopt;
  }
  return FileLock(reinterpret_cast<std::intptr_t>(h));
}

FileLock::~FileLock() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));  // the lock goes with the handle
}

}  // namespace quelma::platform
