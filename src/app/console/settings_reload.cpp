// Reading the settings again on the administrator's request.
#include "app/console/settings_reload.h"

#include "config/config_file.h"

namespace quelma::app {

std::vector<std::string> KeysTakenAtStart(const config::Configuration& running, const config::Configuration& read) {
  std::vector<std::string> changed;
  const auto note = [&changed](bool differs, const char* key) {
    if (differs) changed.emplace_back(key);
  };
  note(running.POP3_SRV_PORT != read.POP3_SRV_PORT, "POP3_SRV_PORT");
  note(running.SMTP_SRV_PORT != read.SMTP_SRV_PORT, "SMTP_SRV_PORT");
  note(running.POP3_SRV_TLS_PORT != read.POP3_SRV_TLS_PORT, "POP3_SRV_TLS_PORT");
  note(running.SMTP_SRV_TLS_PORT != read.SMTP_SRV_TLS_PORT, "SMTP_SRV_TLS_PORT");
  note(running.IMAP_SRV_PORT != read.IMAP_SRV_PORT, "IMAP_SRV_PORT");
  note(running.IMAP_SRV_TLS_PORT != read.IMAP_SRV_TLS_PORT, "IMAP_SRV_TLS_PORT");
  note(running.LISTEN_ADDRESSES != read.LISTEN_ADDRESSES, "LISTEN_ADDRESSES");
  note(running.TLS_CERT_FILE != read.TLS_CERT_FILE, "TLS_CERT_FILE");
  note(running.TLS_KEY_FILE != read.TLS_KEY_FILE, "TLS_KEY_FILE");
  note(running.MAX_SESSIONS != read.MAX_SESSIONS, "MAX_SESSIONS");
  return changed;
}

bool ReloadSettings(const std::string& programDir, sorting::SorterFile& sorterFile, config::ConfigStore& store,
                    link::ActivityLog& log) {
  const auto running = store.current();
  config::Configuration fresh = *running;
  const config::LoadResult loaded = sorting::LoadConfigurationChecked(programDir, sorterFile, fresh);
  if (loaded.status == config::LoadStatus::kUnreadable) {
    log.LogDialer("Настройки не перечитаны: файл " + config::ConfigFilePath(programDir) +
                  " не читается; действуют прежние.");
    return false;
  }
  const std::vector<std::string> waiting = KeysTakenAtStart(*running, fresh);
  store.publish(std::move(fresh));
  log.LogDialer("Настройки перечитаны из quelma.cfg и sorter.cfg.");
  if (!waiting.empty()) {
    std::string keys;
    for (const std::string& key : waiting) keys += (keys.empty() ? "" : ", ") + key;
    log.LogDialer("Изменения " + keys + " вступят в силу после перезапуска программы.");
  }
  return true;
}

}  // namespace quelma::app
