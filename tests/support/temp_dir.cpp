// Temporary test directories on the platform's temp area.
#include "support/temp_dir.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/clock.h"
#include "platform/paths.h"

namespace quelma::testing {

TempDir::TempDir() {
  static std::atomic<unsigned> counter{0};
  const auto base = std::filesystem::temp_directory_path();
  for (;;) {
    const std::string name = "quelma-test-" + std::to_string(platform::SystemClock().tickCount()) + "-" +
                             std::to_string(counter++);
    std::error_code error;
    if (std::filesystem::create_directory(base / name, error)) {
      path_ = platform::WithTrailingSeparator((base / name).string());
      return;
    }
  }
}

TempDir::~TempDir() {
  std::error_code error;
  std::filesystem::remove_all(path_, error);
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "<missing>";
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

}  // namespace quelma::testing
