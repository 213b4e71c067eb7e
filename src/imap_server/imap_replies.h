// Every fixed text the IMAP server sends or logs.
#pragma once

namespace quelma::imap_server::reply {

inline constexpr char kGreetingBegin[] = "* OK [CAPABILITY ";  // + capabilities + kGreetingEnd
inline constexpr char kGreetingEnd[] = "] IMAP server ready. Please log in.\r\n";
inline constexpr char kTooManySessions[] = "* BYE [UNAVAILABLE] Too many sessions, try again later\r\n";

}  // namespace quelma::imap_server::reply

namespace quelma::imap_server::logtext {

inline constexpr char kStarting[] = "*** Запуск IMAP сервера.\r\n";
inline constexpr char kRunningOnPort[] = "IMAP сервер работает на порту ";  // + port + CR LF
inline constexpr char kNotRunningBegin[] = "*** IMAP сервер не работает - возможно, порт ";
inline constexpr char kNotRunningEnd[] = " уже занят\r\n";

}  // namespace quelma::imap_server::logtext

namespace quelma::imap_server::reply {

inline constexpr char kLogout[] = "* BYE Logging out\r\n";
inline constexpr char kTooManyBad[] = "* BYE Too many invalid IMAP commands.\r\n";
inline constexpr char kRenumbered[] = "* BYE [UNAVAILABLE] The mailbox was numbered anew or removed\r\n";
inline constexpr char kIdleTimeout[] = "* BYE Disconnected for inactivity.\r\n";
inline constexpr char kAppendContinue[] = "+ OK\r\n";
inline constexpr char kIdling[] = "+ idling\r\n";
inline constexpr char kAskAnswer[] = "+ \r\n";

}  // namespace quelma::imap_server::reply

namespace quelma::imap_server::logtext {

inline constexpr char kUserConnected[] = "Подключился пользователь \"";  // + name + "\"\r\n"
inline constexpr char kWrongUser[] = "Введено неправильное имя пользователя \"";  // + name + "\"\r\n"
inline constexpr char kWrongPasswordBegin[] = "Пользователь \"";
inline constexpr char kWrongPasswordEnd[] = "\" ввел неправильный пароль\r\n";
inline constexpr char kPlaintextRefused[] = "Вход без TLS отклонен (PLAINTEXT_LOGIN) для адреса ";  // + address + CR LF
inline constexpr char kLostAtLogin[] = "Соединение потеряно на стадии идентификации.\r\n";
inline constexpr char kTooManyBad[] = "Соединение закрыто: 20 неверных команд подряд.\r\n";
inline constexpr char kStoreFailed[] = "Не удалось изменить почтовый ящик: ";  // + file (reason) + CR LF
inline constexpr char kIndexRebuiltBegin[] = "Индекс почтового ящика ";  // + path + kIndexRebuiltEnd
inline constexpr char kIndexRebuiltEnd[] =
    " был поврежден и построен заново по файлу ящика: отметки писем (прочитано, флажки) утеряны\r\n";
inline constexpr char kIndexNotStored[] = "Не удалось записать индекс почтового ящика: ";  // + path

}  // namespace quelma::imap_server::logtext
