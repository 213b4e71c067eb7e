// Every fixed text the POP3 server sends or logs.
#pragma once

namespace quelma::pop3_server::reply {

inline constexpr char kGreeting[] = "+OK POP3 server ready. Please log in.\r\n";
inline constexpr char kUserRecognized[] = "+OK User recognized.\r\n";
inline constexpr char kUserNotRecognized[] = "-ERR User not recognized\r\n";
inline constexpr char kSendUser[] = "-ERR Send \"user username\"\r\n";
inline constexpr char kBye[] = "+OK bye!\r\n";
inline constexpr char kPasswordRecognized[] = "+OK Password recognized.\r\n";
inline constexpr char kPasswordIncorrect[] = "-ERR Password incorrect. Restart login with \"user username\"!\r\n";
inline constexpr char kSendPass[] = "-ERR Send \"pass password\"\r\n";
inline constexpr char kCommitFailed[] = "-ERR could not delete messages in maildrop\r\n";
inline constexpr char kNoop[] = "+OK no operation\r\n";
inline constexpr char kRset[] = "+OK RSET command completed\r\n";
inline constexpr char kUnknownCommand[] = "-ERR unknown command\r\n";
// CAPA: kCapabilitiesBegin, USER where it is taken, kCapabilitiesEnd, STLS where offered, the end.
inline constexpr char kCapabilitiesBegin[] = "+OK Capability list follows\r\nTOP\r\n";
inline constexpr char kUserCapability[] = "USER\r\n";
inline constexpr char kCapabilitiesEnd[] = "UIDL\r\nPIPELINING\r\nRESP-CODES\r\nAUTH-RESP-CODE\r\n";
inline constexpr char kPlaintextDisallowed[] = "-ERR [AUTH] Plaintext authentication disallowed on non-secure connections\r\n";
inline constexpr char kStlsCapability[] = "STLS\r\n";
inline constexpr char kTooManySessions[] = "-ERR [SYS/TEMP] Too many sessions, try again later\r\n";
inline constexpr char kLockedOut[] = "-ERR [SYS/TEMP] Too many failed logins from your address, try again later\r\n";
inline constexpr char kInUse[] = "-ERR [IN-USE] maildrop already locked\r\n";
inline constexpr char kBeginTls[] = "+OK Begin TLS negotiation\r\n";

inline constexpr char kStatEmpty[] = "+OK 0 0 (maildrop empty)\r\n";
inline constexpr char kListEmpty[] = "+OK 0 messages 0 octets. Scan listing follows:\r\n.\r\n";
inline constexpr char kMaildropEmpty[] = "-ERR maildrop empty\r\n";
inline constexpr char kNumberMissing[] = "-ERR Message number not specified\r\n";
inline constexpr char kNoSuchMessageInMaildrop[] = "-ERR no such message in maildrop\r\n";
inline constexpr char kNoSuchMessage[] = "-ERR No such message\r\n";
inline constexpr char kRetrFollows[] = "+OK message text follows\r\n";
inline constexpr char kTopSyntax[] = "-ERR invalid syntax of TOP command.\r\n";
inline constexpr char kTopFollows[] = "+OK Top of message follows\r\n";
inline constexpr char kUidlFollows[] = "+OK UIDL listing follows.\r\n";
inline constexpr char kUidlNotFound[] = "-ERR UIDL for this message not found.\r\n";
inline constexpr char kAlreadyDeleted[] = "-ERR Message already deleted\r\n";
inline constexpr char kDeleted[] = "+OK Message deleted\r\n";
inline constexpr char kEnd[] = ".\r\n";

}  // namespace quelma::pop3_server::reply

namespace quelma::pop3_server::logtext {

inline constexpr char kStarting[] = "*** Запуск POP3 сервера.\r\n";
inline constexpr char kRunningOnPort[] = "POP3 сервер работает на порту ";  // + port + CR LF
inline constexpr char kLostAtLogin[] = "Соединение потеряно на стадии идентификации.\r\n";
inline constexpr char kUserConnected[] = "Подключился пользователь \"";   // + name + "\"\r\n"
inline constexpr char kWrongUser[] = "Введено неправильное имя пользователя \"";  // + name + "\"\r\n"
inline constexpr char kWrongPasswordBegin[] = "Пользователь \"";
inline constexpr char kWrongPasswordEnd[] = "\" ввел неправильный пароль\r\n";
inline constexpr char kNotRunningBegin[] = "*** POP3 сервер не работает - возможно, порт ";
inline constexpr char kNotRunningEnd[] = " уже занят\r\n";
inline constexpr char kInUseBegin[] = "Почтовый ящик пользователя \"";  // + name + kInUseEnd
inline constexpr char kInUseEnd[] = "\" уже открыт другим сеансом: вход отклонен\r\n";
inline constexpr char kPlaintextRefused[] = "Вход USER/PASS без TLS отклонен (PLAINTEXT_LOGIN) для адреса ";  // + address + CR LF
inline constexpr char kCommitFailed[] = "Сообщения не удалены, почтовый ящик не изменен: ";  // + file (reason)
inline constexpr char kAwaitsRecovery[] = "прерванная доставка в него еще не завершена";
inline constexpr char kRenumbered[] = "файл ящика меняется в обход программы";
inline constexpr char kIndexRebuiltBegin[] = "Индекс почтового ящика ";  // + path + kIndexRebuiltEnd
inline constexpr char kIndexRebuiltEnd[] =
    " был поврежден и построен заново по файлу ящика: отметки писем (прочитано, флажки) утеряны\r\n";
inline constexpr char kIndexNotStored[] = "Не удалось записать индекс почтового ящика: ";  // + path

}  // namespace quelma::pop3_server::logtext
