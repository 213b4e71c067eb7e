// Telling ahead that dial-up cannot work in a service without new privileges.
#include "app/console/dialup_permission.h"

#include <sys/prctl.h>

namespace quelma::app {

bool RunsWithoutNewPrivileges() { return ::prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) == 1; }

std::optional<std::string> DialUpBlockedText(const config::Configuration& config, bool withoutNewPrivileges) {
  if (config.UseLAN || !withoutNewPrivileges) return std::nullopt;
  return "Дозвон невозможен: программе запрещено повышать привилегии (NoNewPrivileges службы), а "
         "pppd они нужны. Установите /usr/share/doc/quelma/examples/dialup.conf (см. man quelma).";
}

}  // namespace quelma::app
