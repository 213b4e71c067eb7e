// Each alert's text says what is wrong, since when, and what mends it, in the words of both
// front ends (the command, and the Windows menu item).
#include "app/alert_conditions.h"

#include <algorithm>

#include "status/status_text.h"

namespace quelma::app {
namespace {

constexpr std::uint64_t kMegabyte = 1024 * 1024;

std::string AccountName(std::size_t index, const config::ProviderAccount& a) {
  return "Счет " + std::to_string(index) + " (" + (a.proto == config::CollectProtocol::kImap ? "IMAP " : "POP3 ") +
         a.server + ", " + a.login + ")";
}

void DiskCondition(const config::Configuration& config, const AlertFacts& f, std::vector<status::AlertCondition>& out) {
  if (config.ALERT_DISK_MB <= 0) return;
  const std::uint64_t floor = static_cast<std::uint64_t>(config.ALERT_DISK_MB) * kMegabyte;
  std::string low;
  for (const PlaceSpace& place : f.places) {
    if (!place.freeBytes || *place.freeBytes >= floor) continue;
    low += "  " + place.what + ": свободно " + std::to_string(*place.freeBytes / kMegabyte) + " МБ\r\n";
  }
  if (low.empty()) return;
  out.push_back({"disk", "мало места на диске",
                 "На диске мало свободного места (порог ALERT_DISK_MB = " + std::to_string(config.ALERT_DISK_MB) +
                     " МБ):\r\n" + low +
                     "Когда место кончится, почта перестанет приниматься и загружаться.\r\n"
                     "Что делать: освободите место на этом диске (или попросите пользователей забрать и удалить почту).\r\n"
                     "Порог меняется в окне Настройки > Серверы POP3/SMTP или командой quelma config set ALERT_DISK_MB N.\r\n",
                 0});
}

void FailingCondition(const config::Configuration& config, const std::string& key, const std::string& who,
                      const status::LastSession& last, const std::string& check, const AlertFacts& f,
                      std::vector<status::AlertCondition>& out) {
  if (config.ALERT_FAIL_HOURS <= 0 || last.failingSince == 0 || last.ok) return;
  // Failing for the hours set, or every session of a whole day when more hours are set.
  const std::int64_t hours = std::min<std::int64_t>(config.ALERT_FAIL_HOURS, 24);
  if (f.now - last.failingSince < hours * 3600) return;
  out.push_back({key, who + ": связь не удается",
                 who + ": сеансы связи не удаются с " + AlertTime(last.failingSince, f.utcOffset) +
                     " (последняя попытка " + AlertTime(last.at, f.utcOffset) + ", ошибка " + std::to_string(last.error) +
                     ").\r\nПочта по нему не " + (key == "smtp" ? "отправляется" : "загружается") +
                     ", пока это не исправлено.\r\n"
                     "Что делать: посмотрите журнал и проверьте настройки командой " + check +
                     " (в Windows: Команда > Проверить настройки); пароль, сервер и порт меняются в окне Настройки > Связь.\r\n",
                 last.failingSince});
}

void OauthCondition(const std::string& key, const std::string& who, const std::string& state, const std::string& login,
                    std::vector<status::AlertCondition>& out) {
  if (state != "needs login") return;
  out.push_back({key, who + ": нужен новый вход OAuth",
                 who + ": вход OAuth больше не действует (разрешение отозвано или истекло), почта по нему не идет.\r\n"
                       "Что делать: войдите заново командой quelma " + login +
                       " (в Windows: кнопка \"Вход OAuth\" в окне Настройки > Связь).\r\n",
                 0});
}

std::string EndWords(std::int64_t end, const AlertFacts& f) {
  return (end <= f.now ? "кончился " : "кончается ") + AlertTime(end, f.utcOffset);
}

void CertificateConditions(const config::Configuration& config, const AlertFacts& f, std::vector<status::AlertCondition>& out) {
  if (f.localCertificateEnd && *f.localCertificateEnd - f.now < kLocalCertificateWarningSeconds) {
    out.push_back({"certificate local", "сертификат TLS этих серверов кончается",
                   "Сертификат TLS серверов этой программы (" + config.TLS_CERT_FILE + ") " +
                       EndWords(*f.localCertificateEnd, f) +
                       ".\r\nПосле этого почтовые программы откажутся соединяться по TLS.\r\n"
                       "Что делать: получите новый сертификат, положите его и ключ в файлы TLS_CERT_FILE и TLS_KEY_FILE "
                       "(окно Настройки > Серверы POP3/SMTP) и перезапустите программу.\r\n",
                   0});
  }
  std::vector<std::string> hosts;
  for (const auto& a : config.accounts) hosts.push_back(a.server);
  if (!config.SMTPServer.empty()) hosts.push_back(config.SMTPServer);
  for (const auto& [host, end] : f.providerCertificateEnds) {
    if (std::find(hosts.begin(), hosts.end(), host) == hosts.end()) continue;
    if (end - f.now >= kProviderCertificateWarningSeconds) continue;
    out.push_back({"certificate " + host, "сертификат сервера " + host + " кончается",
                   "Сертификат сервера провайдера " + host + " " + EndWords(end, f) +
                       ".\r\nЕсли провайдер его не заменит, связь с этим сервером прервется: проверка сертификата не пройдет.\r\n"
                       "Что делать: сообщите провайдеру; проверить сертификат можно командой quelma check-tls " + host +
                       " ПОРТ.\r\n",
                   0});
  }
}

void QueueCondition(const config::Configuration& config, const AlertFacts& f, std::vector<status::AlertCondition>& out) {
  if (config.ALERT_QUEUE_HOURS <= 0 || f.queueOldest == 0) return;
  if (f.now - f.queueOldest < static_cast<std::int64_t>(config.ALERT_QUEUE_HOURS) * 3600) return;
  out.push_back({"queue", "письма долго ждут отправки",
                 "В очереди " + std::to_string(f.queueMessages) + " писем ждут отправки, самое старое с " +
                     AlertTime(f.queueOldest, f.utcOffset) + " (порог ALERT_QUEUE_HOURS = " +
                     std::to_string(config.ALERT_QUEUE_HOURS) + " ч).\r\n"
                     "Что делать: проверьте связь с SMTP сервером провайдера (журнал, quelma check smtp; в Windows: Команда > "
                     "Проверить настройки) и расписание сеансов (окно Настройки > Планировщик); сеанс сейчас: "
                     "Команда > Отправить/получить почту или сигнал SIGUSR1 программе.\r\n",
                 f.queueOldest});
}

}  // namespace

std::string AlertTime(std::int64_t seconds, std::int64_t utcOffset) { return status::LocalMinuteText(seconds, utcOffset); }

std::vector<status::AlertCondition> CurrentAlertConditions(const config::Configuration& config, const AlertFacts& f) {
  std::vector<status::AlertCondition> out;
  DiskCondition(config, f, out);
  for (std::size_t i = 0; i < config.accounts.size(); ++i) {
    const config::ProviderAccount& a = config.accounts[i];
    for (const status::AccountState& s : f.board.accounts) {
      if (s.server != a.server || s.login != a.login) continue;
      const std::string key = a.server + " " + a.login;
      FailingCondition(config, "account " + key, AccountName(i, a), s.last, "quelma check account " + std::to_string(i), f, out);
      OauthCondition("oauth " + key, AccountName(i, a), s.oauth, "oauth login account " + std::to_string(i), out);
    }
  }
  const std::string smtp = "SMTP сервер провайдера (" + config.SMTPServer + ")";
  FailingCondition(config, "smtp", smtp, f.board.upload, "quelma check smtp", f, out);
  OauthCondition("oauth smtp", smtp, f.board.uploadOauth, "oauth login smtp", out);
  CertificateConditions(config, f, out);
  QueueCondition(config, f, out);
  if (!f.recovered.empty()) {
    std::string text = "Программа запущена после аварийной остановки (сбой питания, снятый процесс) и доделала "
                       "прерванную работу:\r\n";
    for (const std::string& line : f.recovered) text += "  " + line + "\r\n";
    text += "Почта, принятая до остановки, не потеряна. Если остановки повторяются, проверьте питание и журнал системы.\r\n";
    out.push_back({"unclean start", "запуск после аварийной остановки", text, f.now, true});
  }
  return out;
}

}  // namespace quelma::app
