// The dialer thread, the dialling passes, and the two main-thread operations on the link.
#include "dialup/dialer.h"

#include <algorithm>

#include "platform/text.h"

namespace quelma::dialup {
namespace {

bool HasEntry(const std::vector<std::string>& names, const std::string& wanted) {
  return std::any_of(names.begin(), names.end(),
                     [&](const std::string& n) { return platform::EqualsIgnoreAsciiCase(n, wanted); });
}

}  // namespace

ConnectionHandle FirstActiveConnection(RemoteAccess& access) { return access.firstActiveConnection(); }

int DialWithAttempts(const DialerContext& c, int attempts) {
  const int passes = std::clamp(attempts, 1, 10);
  for (int pass = 0; pass < passes; ++pass) {
    for (std::size_t i = 0; i <= c.config.DialupPhoneNumber.size(); ++i) {
      if (i > 0 && c.config.DialupPhoneNumber[i - 1].empty()) break;
      const auto saved = c.access.savedParameters(c.config.DialUpRecord);
      if (!saved || !saved->hasPassword) {
        c.log.LogDialer(saved ? "Ошибка - не введен пароль в параметрах соединения."
                              : "Ошибка - не смог определить параметры соединения.");
        c.state.rasConnection = 0;
        return 0;
      }
      const std::string number = i == 0 ? std::string() : c.config.DialupPhoneNumber[i - 1];
      c.log.LogDialer(i == 0 ? std::string("Дозваниваюсь по основному номеру.") : "Дозваниваюсь по номеру " + number);
      c.state.rasConnection = 0;
      const DialOutcome outcome = c.access.dial(c.config.DialUpRecord, number);
      c.state.rasConnection = outcome.handle;
      if (outcome.connected) return passes - pass;
      c.log.LogDialer("Не смог соединиться по этому номеру.");
      if (outcome.handle != 0) c.access.hangUp(outcome.handle);
      c.sleep(kPauseAfterFailedDialMs);
      if (c.state.dialAbortRequest.exchange(0) != 0) return 0;
    }
  }
  return 0;
}

void RunDialer(const DialerContext& c) {
  c.log.LogDialer("*** Дозваниваюсь до сервера.");
  c.state.dialedByUs = 0;
  const std::vector<std::string> entries = c.access.entryNames();
  if (entries.empty()) {
    c.log.LogDialer("Ошибка - не найдены соединения удаленного доступа.");
  } else if (!HasEntry(entries, c.config.DialUpRecord)) {
    c.log.LogDialer("Ошибка - соединение \"" + c.config.DialUpRecord + "\" не найдено.");
  } else if (const ConnectionHandle up = FirstActiveConnection(c.access); up != 0) {
    c.state.rasConnection = up;
    c.log.LogDialer("*** Обнаружено установленное соединение - использую его.");
    c.window.post(link::UM_CONNECTED, 1, 0);
  } else if (DialWithAttempts(c, c.config.DialupAttempts) == 0) {
    c.log.LogDialer("*** Не смог установить соединение.");
  } else {
    c.log.LogDialer("*** Соединение установлено.");
    c.state.dialedByUs = 1;
    c.window.post(link::UM_CONNECTED, 3, 0);
  }
  c.state.dialAbortRequest = 0;
  c.window.post(link::UM_WORKER_DONE, static_cast<std::uintptr_t>(link::WorkerId::kDialer), 0);
}

void HangUpAtSessionEnd(const config::Configuration& config, RemoteAccess& access, DialerState& state) {
  if (config.UseLAN || state.dialedByUs != 1 || !config.DialupAutoOff) return;
  if (const ConnectionHandle connection = state.rasConnection.exchange(0); connection != 0) access.hangUp(connection);
  state.dialedByUs = 0;
}

void BreakConnection(RemoteAccess& access, DialerState& state) {
  state.dialAbortRequest = 1;
  if (const ConnectionHandle up = FirstActiveConnection(access); up != 0) access.hangUp(up);
}

}  // namespace quelma::dialup
