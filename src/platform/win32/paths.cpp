// Win32 program directory: GetModuleFileNameA and GetFullPathNameA.
#include <windows.h>

#include <vector>

#include "platform/paths.h"

namespace quelma::platform {

std::string WithTrailingSeparator(std::string path) {
  if (path.empty() || (path.back() != '\\' && path.back() != '/')) path.push_back(kPathSeparator);
  return path;
}

std::optional<std::string> ExecutableDirectory() {
  std::vector<char> buffer(32768);
  const DWORD n = GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  if (n == 0 || n >= buffer.size()) return std::nullopt;
  std::string path(buffer.data(), n);
  const auto slash = path.find_last_of("\\/");
  if (slash == std::string::npos) return std::nullopt;
  return path.substr(0, slash + 1);
}

std::optional<std::string> AbsoluteDirectory(const std::string& path) {
  std::vector<char> buffer(32768);
  const DWORD n = GetFullPathNameA(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
  if (n == 0 || n >= buffer.size()) return std::nullopt;
  const DWORD attributes = GetFileAttributesA(buffer.data());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return std::nullopt;
  return WithTrailingSeparator(std::string(buffer.data(), n));
}

bool MakeCurrentDirectory(const std::string& path) { return SetCurrentDirectoryA(path.c_str()) != 0; }

}  // namespace quelma::platform
