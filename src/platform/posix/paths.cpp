// POSIX program directory: /proc/self/exe and realpath.
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "platform/paths.h"

namespace quelma::platform {

std::string WithTrailingSeparator(std::string path) {
  if (path.empty() || path.back() != kPathSeparator) path.push_back(kPathSeparator);
  return path;
}

std::optional<std::string> ExecutableDirectory() {
  std::vector<char> buffer(PATH_MAX + 1);
  const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (n <= 0) return std::nullopt;
  std::string path(buffer.data(), static_cast<std::size_t>(n));
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return std::nullopt;
  return path.substr(0, slash + 1);
}

std::optional<std::string> AbsoluteDirectory(const std::string& path) {
  std::unique_ptr<char, decltype(&::free)> resolved(::realpath(path.c_str(), nullptr), &::free);
  if (!resolved) return std::nullopt;
  return WithTrailingSeparator(resolved.get());
}

bool MakeCurrentDirectory(const std::string& path) { return ::chdir(path.c_str()) == 0; }

}  // namespace quelma::platform
