// The program directory and path building with the platform's separator.
#pragma once

#include <optional>
#include <string>

namespace quelma::platform {

#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// `path` with the platform's separator at its end (added unless already there).
std::string WithTrailingSeparator(std::string path);

// The directory that holds the running executable, ending with the separator.
std::optional<std::string> ExecutableDirectory();

// The absolute form of an existing directory, ending with the separator.
std::optional<std::string> AbsoluteDirectory(const std::string& path);

bool MakeCurrentDirectory(const std::string& path);

}  // namespace quelma::platform
