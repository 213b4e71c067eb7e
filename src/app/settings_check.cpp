// The settings check: which targets a request covers, and the system's own context for it.
#include "app/settings_check.h"

#include <chrono>
#include <cstdlib>

#include "app/provider_check_steps.h"
#include "platform/disk_space.h"
#include "platform/instance_lock.h"

namespace quelma::app {

std::optional<CheckRequest> ParseCheckRequest(const std::vector<std::string>& words) {
  if (words.empty() || (words.size() == 1 && words[0] == "all")) return CheckRequest{CheckScope::kAll, 0};
  if (words.size() == 1 && words[0] == "smtp") return CheckRequest{CheckScope::kSmtp, 0};
  if (words.size() == 1 && words[0] == "local") return CheckRequest{CheckScope::kLocal, 0};
  if (words.size() == 2 && words[0] == "account" && !words[1].empty() && words[1].size() <= 4 &&
      words[1].find_first_not_of("0123456789") == std::string::npos) {
    return CheckRequest{CheckScope::kAccount, static_cast<std::size_t>(std::strtoul(words[1].c_str(), nullptr, 10))};
  }
  return std::nullopt;
}

SettingsCheckContext SystemCheckContext(const std::string& programDir, oauth::AccessTokens& tokens,
                                        dialup::RemoteAccess& remoteAccess, MendWords mend) {
  SettingsCheckContext context;
  context.provider.mend = mend;
  context.local.mend = std::move(mend);
  context.provider.programDir = programDir;
  context.provider.tokens = [&tokens](const config::Configuration& config, const oauth::OauthLogin& login,
                                      const std::function<void(const std::string&)>& log) {
    return tokens.sourceFor(config, login, log);
  };
  context.provider.now = [] {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  };
  context.local.programDir = programDir;
  context.local.freeBytes = platform::FreeDiskBytes;
  context.local.programRunning = [programDir] { return !platform::InstanceLock::TryAcquire(programDir).has_value(); };
  context.local.dialUpEntries = [&remoteAccess] { return remoteAccess.entryNames(); };
  return context;
}

CheckReport RunSettingsCheck(const config::Configuration& config, const CheckRequest& request,
                             const SettingsCheckContext& context, const std::function<void(const CheckTarget&)>& checked) {
  CheckReport report;
  const auto add = [&](CheckTarget target) {
    if (checked) checked(target);
    report.targets.push_back(std::move(target));
  };
  if (request.scope == CheckScope::kAll || request.scope == CheckScope::kSmtp) {
    add(CheckSmtpProvider(config, context.provider));
  }
  if (request.scope == CheckScope::kAll) {
    for (std::size_t i = 0; i < config.accounts.size(); ++i) {
      add(CheckAccount(config, i, context.provider));
    }
  }
  if (request.scope == CheckScope::kAccount) {
    if (request.account < config.accounts.size()) {
      add(CheckAccount(config, request.account, context.provider));
    } else {
      CheckTarget target{"Счет " + std::to_string(request.account), {}};
      CheckSteps(target).fail(kStepSettings,
                              "такого счета нет (счетов: " + std::to_string(config.accounts.size()) + ", с номерами от 0)",
                              "Укажите номер существующего счета.");
      add(std::move(target));
    }
  }
  if (request.scope == CheckScope::kAll || request.scope == CheckScope::kLocal) {
    add(CheckLocalSide(config, context.local));
  }
  return report;
}

}  // namespace quelma::app
