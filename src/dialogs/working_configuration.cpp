#include "dialogs/working_configuration.h"

#include "config/config_file.h"

namespace quelma::dialogs {

void WorkingConfiguration::reload() {
  config::LoadConfiguration(env_.programDir, env_.sorter, config_);
  publish();
}

void WorkingConfiguration::save() {
  const config::SaveResult result = config::SaveConfiguration(env_.programDir, config_);
  publish();
  if (result == config::SaveResult::kCannotCreate) env_.cannotSave();
}

}  // namespace quelma::dialogs
