// The settings check from the command line: quelma.cfg read as the program reads it, each
// target printed as soon as it is checked, the summary last.
#include "app/console/check_command.h"

#include <cstdio>
#include <memory>

#include "app/console/existing_settings.h"
#include "app/settings_check.h"
#include "dialup/remote_access.h"
#include "oauth/access_tokens.h"
#include "platform/cp1251_utf8.h"

namespace quelma::app {
namespace {

void Say(const std::string& cp1251) {
  std::fputs(platform::Cp1251ToUtf8(cp1251).c_str(), stdout);
  std::fflush(stdout);
}

}  // namespace

int CheckCommand(const std::string& programDir, const std::vector<std::string>& words) {
  const std::optional<CheckRequest> request = ParseCheckRequest(words);
  if (!request) {
    std::fputs("usage: quelma [--dir DIR] check [all|smtp|account INDEX|local]\n", stderr);
    return 2;
  }
  // The check reads the settings; it never makes a missing quelma.cfg.
  const std::optional<config::Configuration> config = LoadExistingSettings(programDir);
  if (!config) return 1;
  oauth::AccessTokens tokens(programDir);
  const std::unique_ptr<dialup::RemoteAccess> remoteAccess = dialup::CreateSystemRemoteAccess();
  Say("Проверка настроек: " + programDir + "\n\n");
  const CheckReport report = RunSettingsCheck(*config, *request, SystemCheckContext(programDir, tokens, *remoteAccess, CommandLineMend),
                                              [](const CheckTarget& target) { Say(FormatCheckTarget(target)); });
  Say(FormatCheckSummary(report));
  return CheckPassed(report) ? 0 : 1;
}

}  // namespace quelma::app
