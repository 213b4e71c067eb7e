// Reading quelma.cfg for a command, with the message when it cannot.
#include "app/console/existing_settings.h"

#include <cstdio>

#include "config/config_file.h"
#include "platform/files.h"
#include "sorting/sorter_rules.h"

namespace quelma::app {

std::optional<config::Configuration> LoadExistingSettings(const std::string& programDir) {
  const std::string path = config::ConfigFilePath(programDir);
  if (!platform::FileExists(path)) {
    std::fprintf(stderr, "quelma: %s does not exist: start quelma once or set it up first\n", path.c_str());
    return std::nullopt;
  }
  sorting::SorterFile sorterFile(sorting::SorterFilePath(programDir));
  config::Configuration config = config::DefaultConfiguration(programDir);
  if (sorting::LoadConfigurationChecked(programDir, sorterFile, config).status != config::LoadStatus::kLoaded) {
    std::fprintf(stderr, "quelma: %s cannot be read\n", path.c_str());
    return std::nullopt;
  }
  return config;
}

}  // namespace quelma::app
