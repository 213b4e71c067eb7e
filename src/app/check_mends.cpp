// The two front ends' ways to change a setting, as the settings check's hints name them.
#include "app/check_mends.h"

#include <string_view>

#include "platform/text.h"

namespace quelma::app {
namespace {

std::string Command(const std::string& words) { return "командой \"quelma " + words + "\""; }

// The servers dialog's field of a quelma.cfg key, by the label the dialog shows.
std::string ServersField(const std::string& key) {
  static constexpr std::pair<std::string_view, std::string_view> kFields[] = {
      {"MailDropDir", "Папка почтовых ящиков"},
      {"QueueDir", "Папка очереди исходящих"},
      {"LocalDomain", "Локальный домен"},
      {"POP3_SRV_PORT", "Порт POP3 сервера"},
      {"SMTP_SRV_PORT", "Порт SMTP сервера"},
      {"POP3_SRV_TLS_PORT", "Порт POP3S (0 - нет)"},
      {"SMTP_SRV_TLS_PORT", "Порт SMTPS (0 - нет)"},
      {"IMAP_SRV_PORT", "Порт IMAP сервера (0 - выключен)"},
      {"IMAP_SRV_TLS_PORT", "Порт IMAPS (0 - нет)"},
      {"TLS_CERT_FILE", "Сертификат TLS (PEM-файл)"},
      {"TLS_KEY_FILE", "Закрытый ключ (PEM-файл)"},
      {"LISTEN_ADDRESSES", "Принимать соединения на адресах (* - на всех)"},
      {"RELAY_NETWORKS", "Отправка наружу без входа из сетей (через запятую)"},
  };
  for (const auto& [name, label] : kFields) {
    if (name == key) return std::string(label);
  }
  return key;
}

const char kCommunication[] = "в окне \"Настройки > Связь\"";

std::string AccountField(const std::string& n, const std::string& field) {
  return std::string(kCommunication) + ": счет " + n + ", кнопка \"Изменить\", " + field;
}

}  // namespace

std::string CommandLineMend(Mend mend, const std::string& subject) {
  switch (mend) {
    case Mend::kAccountServer:
      return Command("config account edit " + subject + " --server СЕРВЕР --port ПОРТ --login ИМЯ") +
             " (или --preset gmail|microsoft|yandex|mailru)";
    case Mend::kAccountPassword: return Command("set-password account " + subject);
    case Mend::kAccountTls: return Command("config account edit " + subject + " --tls ssl|stls --port ПОРТ");
    case Mend::kAccountFingerprint: return Command("config account edit " + subject + " --fingerprint ОТПЕЧАТОК");
    case Mend::kAccountOauthLogin: return Command("oauth login account " + subject);
    case Mend::kAccountAuth: return Command("config account edit " + subject + " --auth password|xoauth2|oauthbearer");
    case Mend::kAccountKeep: return Command("config account edit " + subject + " --keep 0");
    case Mend::kAccountProtocol:
      return Command("config account edit " + subject + " --proto imap") + " (или --idle no)";
    case Mend::kSmtpServer: return Command("config smtp set --server СЕРВЕР --port ПОРТ");
    case Mend::kSmtpLogin: return Command("config smtp set --login ИМЯ | --no-login");
    case Mend::kSmtpPassword: return Command("set-password smtp");
    case Mend::kSmtpTls: return Command("config smtp set --tls ssl|starttls --port ПОРТ");
    case Mend::kSmtpFingerprint: return Command("config smtp set --fingerprint ОТПЕЧАТОК");
    case Mend::kSmtpOauthLogin: return Command("oauth login smtp");
    case Mend::kSmtpAuth: return Command("config smtp set --auth password|xoauth2|oauthbearer");
    case Mend::kCaFile: return Command("config smtp set --ca-file ФАЙЛ");
    case Mend::kOauthPlatform: return Command("oauth set " + (subject.empty() ? std::string("ПЛАТФОРМА") : subject) + " ПОЛЕ ЗНАЧЕНИЕ");
    case Mend::kUserPassword: return Command("set-password user " + subject);
    case Mend::kServersSetting: return Command("config set " + subject + " ЗНАЧЕНИЕ");
    case Mend::kDialUpEntry: return Command("config set UseLAN NO DialUpRecord СОЕДИНЕНИЕ") + " (соединения - файлы в /etc/ppp/peers/)";
  }
  return {};
}

std::string WindowsMend(Mend mend, const std::string& subject) {
  switch (mend) {
    case Mend::kAccountServer: return AccountField(subject, "поля \"Провайдер\" или \"Сервер\", \"Порт номер\" и \"Логин\"");
    case Mend::kAccountPassword: return AccountField(subject, "поля \"Пароль\" и \"Повторите пароль\"");
    case Mend::kAccountTls: return AccountField(subject, "поля \"Шифрование\" и \"Порт номер\"");
    case Mend::kAccountFingerprint: return AccountField(subject, "поле \"Отпечаток SHA-256\"");
    case Mend::kAccountOauthLogin: return AccountField(subject, "кнопка \"Вход OAuth...\"");
    case Mend::kAccountAuth: return AccountField(subject, "поле \"Вход\"");
    case Mend::kAccountKeep: return AccountField(subject, "поле \"Хранить на сервере (дней)\"");
    case Mend::kAccountProtocol: return AccountField(subject, "поля \"Протокол\" и \"Мгновенная доставка (IDLE)\"");
    case Mend::kSmtpServer: return std::string(kCommunication) + ", поля \"SMTP Сервер\" и \"SMTP порт\"";
    case Mend::kSmtpLogin: return std::string(kCommunication) + ", кнопка \"SMTP логин...\"";
    case Mend::kSmtpPassword: return std::string(kCommunication) + ", кнопка \"SMTP логин...\", поля \"Пароль\" и \"Повторите пароль\"";
    case Mend::kSmtpTls: return std::string(kCommunication) + ", поля \"Шифрование SMTP\" и \"SMTP порт\"";
    case Mend::kSmtpFingerprint: return std::string(kCommunication) + ", поле \"Отпечаток SHA-256 (самоподписанный сертификат)\"";
    case Mend::kSmtpOauthLogin: return std::string(kCommunication) + ", кнопка \"SMTP логин...\", кнопка \"Вход OAuth...\"";
    case Mend::kSmtpAuth: return std::string(kCommunication) + ", кнопка \"SMTP логин...\", поле \"Вход\"";
    case Mend::kCaFile: return std::string(kCommunication) + ", поле \"Дополнительные доверенные сертификаты (PEM-файл)\"";
    case Mend::kOauthPlatform:
      return "ключами OAUTH_" + (subject.empty() ? std::string("ПЛАТФОРМА") : platform::ToUpperAscii(subject)) +
             "_... в файле quelma.cfg (справка: \"Настройки связи\")";
    case Mend::kUserPassword:
      return "в окне \"Настройки > Серверы POP3/SMTP\": пользователь " + subject + ", кнопка \"Изменить...\", поле \"Пароль\"";
    case Mend::kServersSetting: return "в окне \"Настройки > Серверы POP3/SMTP\", поле \"" + ServersField(subject) + "\"";
    case Mend::kDialUpEntry: return std::string(kCommunication) + ": снимите \"Подключение через LAN\" и выберите соединение";
  }
  return {};
}

std::string NameMend(const MendWords& words, Mend mend, const std::string& subject) {
  return words ? words(mend, subject) : CommandLineMend(mend, subject);
}

}  // namespace quelma::app
