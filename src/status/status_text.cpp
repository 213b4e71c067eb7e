// One line per fact, the accounts one line each.
#include "status/status_text.h"

#include <cstdio>

#include "mime/mail_date.h"

namespace quelma::status {
namespace {

std::string When(std::int64_t seconds, std::int64_t offset) {
  return seconds == 0 ? "нет" : LocalMinuteText(seconds, offset);
}

std::string Session(const LastSession& s, std::int64_t offset) {
  if (s.at == 0) return "сеансов еще не было";
  std::string text = When(s.at, offset) + (s.ok ? " успешно" : " ошибка " + std::to_string(s.error)) +
                     ", сообщений " + std::to_string(s.messages);
  if (s.failingSince != 0) text += ", сбои с " + When(s.failingSince, offset);
  return text;
}

std::string Oauth(const std::string& state) {
  return state == "good" ? "вход действует" : state == "needs login" ? "нужен вход (quelma oauth login)" : state;
}

std::string Megabytes(std::uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f МБ", static_cast<double>(bytes) / (1024.0 * 1024.0));
  return text;
}

}  // namespace

std::string LocalMinuteText(std::int64_t seconds, std::int64_t offset) {
  const mime::CivilTime t = mime::CivilFromUnix(seconds + offset);
  char text[32];
  std::snprintf(text, sizeof text, "%02d.%02d.%04lld %02d:%02d", t.day, t.month, static_cast<long long>(t.year), t.hour,
                t.minute);
  return text;
}

std::string FormatStatusText(const ProgramStatus& s, std::int64_t offset) {
  std::string out;
  out += s.running ? "Программа работает (процесс " + std::to_string(s.pid) + ")\n" : "Программа не запущена\n";
  out += "Версия: " + (s.version.empty() ? std::string("неизвестна") : s.version) + "\n";
  out += "Запущена: " + When(s.startedAt, offset) + "\n";
  for (std::size_t i = 0; i < s.accounts.size(); ++i) {
    const AccountState& a = s.accounts[i];
    out += "Счет " + std::to_string(i) + " (" + a.protocol + " " + a.server + ", " + a.login + "): " + Session(a.last, offset);
    if (!a.push.empty()) out += "; push: " + a.push;
    if (!a.oauth.empty()) out += "; OAuth: " + Oauth(a.oauth);
    out += "\n";
  }
  out += "Отправка провайдеру: " + Session(s.upload, offset);
  if (!s.uploadOauth.empty()) out += "; OAuth: " + Oauth(s.uploadOauth);
  out += "\n";
  out += "Очередь: сообщений " + std::to_string(s.spool.queueMessages) + ", " + Megabytes(s.spool.queueBytes);
  if (s.spool.queueOldest != 0) out += ", самое старое от " + When(s.spool.queueOldest, offset);
  out += "\n";
  out += "Почтовые ящики: " + std::to_string(s.spool.maildrops) + ", " + Megabytes(s.spool.maildropBytes) + "\n";
  out += "Следующий сеанс по расписанию: " + When(s.nextSession, offset) + "\n";
  if (s.alerts.empty()) out += "Открытых предупреждений нет\n";
  for (const OpenAlert& a : s.alerts) {
    // The text is written for a message (CR LF lines): here each of its lines is indented.
    std::string text = a.text;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;) text.replace(at, 2, "\n  ");
    out += "Предупреждение с " + When(a.since, offset) + ": " + text + "\n";
  }
  return out;
}

}  // namespace quelma::status
