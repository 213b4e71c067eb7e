#include "dialogs/working_configuration.h"

#include "config/config_file.h"
#include "sorting/sorter_rules.h"

namespace quelma::dialogs {

void WorkingConfiguration::reload() {
  sorting::LoadConfigurationChecked(env_.programDir, env_.sorter, config_);
  publish();
}

bool WorkingConfiguration::save() {
  const config::SaveResult result = config::SaveConfiguration(env_.programDir, config_);
  publish();
  if (result == config::SaveResult::kCannotCreate) {
    env_.cannotSave();  // the program ends
  } else if (result == config::SaveResult::kWriteFailed) {
    env_.prompt.ask({"Не могу записать файл quelma.cfg", "Ошибка", Buttons::kOk, Icon::kError});
    return false;
  }
  return true;
}

}  // namespace quelma::dialogs
