// Every fixed text the SMTP server sends or logs.
#pragma once

namespace quelma::smtp_server::reply {

inline constexpr char kGreeting[] = "220-SMTP server ready\r\n220 Quelmar Mail Server here\r\n";
inline constexpr char kHelloBegin[] = "250 Hello ";  // + client name + kHelloEnd
inline constexpr char kHelloEnd[] = " - SMTP service is ready\r\n";
inline constexpr char kSyntaxError[] = "501 Syntax error\r\n";
// The EHLO reply: "250-Hello NAME - SMTP service is ready", then one line per extension.
inline constexpr char kEhloBegin[] = "250-Hello ";
inline constexpr const char* kExtensions[] = {"8BITMIME", "PIPELINING", "SIZE"};
inline constexpr char kStartTlsExtension[] = "STARTTLS";
inline constexpr char kReadyToStartTls[] = "220 Ready to start TLS\r\n";
inline constexpr char kHeloAgain[] = "504 HELO command already processed\r\n";
inline constexpr char kOk[] = "250 OK\r\n";
inline constexpr char kForwardedToPostmaster[] = "251 Unknown local recipient, will be forwarded to postmaster\r\n";
inline constexpr char kUnknownRecipient[] = "550 Unknown recipient\r\n";
inline constexpr char kRelayingDenied[] = "550 5.7.1 Relaying denied\r\n";
inline constexpr char kTooManyRecipients[] = "552 Exceeded maximum number of recipients (100)\r\n";
inline constexpr char kStartMailInput[] = "354 Start mail input; end with <CRLF>.<CRLF>\r\n";
inline constexpr char kBadSequence[] = "503 Bad sequence of commands\r\n";
inline constexpr char kUnknownCommand[] = "500 Unknown command\r\n";
inline constexpr char kBye[] = "221 Bye!\r\n";
inline constexpr char kAuthRequired[] = "530 5.7.0 Authentication required\r\n";
inline constexpr char kAlreadyLoggedIn[] = "503 5.5.1 Already authenticated\r\n";
inline constexpr char kLoggedIn[] = "235 2.7.0 Authentication successful\r\n";
inline constexpr char kLoginFailed[] = "535 5.7.8 Authentication credentials invalid\r\n";
// The AUTH exchange: a question ("334 " + Base64 + CR LF, or an empty one) and its refusals.
inline constexpr char kAskBegin[] = "334 ";
inline constexpr char kAskForAnswer[] = "334 \r\n";
inline constexpr char kCancelled[] = "501 5.0.0 Authentication cancelled\r\n";
inline constexpr char kCannotDecode[] = "501 5.5.2 Cannot decode the answer\r\n";
inline constexpr char kUnknownMechanism[] = "504 5.5.4 Unrecognized authentication type\r\n";
inline constexpr char kEncryptionRequired[] = "538 5.7.11 Encryption required for requested authentication mechanism\r\n";
inline constexpr char kLockedOut[] = "535 5.7.8 Too many failed logins from your address, try again later\r\n";
inline constexpr char kTooManySessions[] = "421 4.3.2 Too many sessions, try again later\r\n";
inline constexpr char kShuttingDown[] = "421 Error! Shutting down.\r\n";

}  // namespace quelma::smtp_server::reply

namespace quelma::smtp_server::logtext {

inline constexpr char kStarting[] = "*** Запуск SMTP сервера\r\n";
inline constexpr char kRunningOnPort[] = "SMTP сервер работает на порту ";
inline constexpr char kNotRunningBegin[] = "*** SMTP сервер не работает - возможно, порт ";
inline constexpr char kNotRunningEnd[] = " уже занят\r\n";
inline constexpr char kUserConnected[] = "Подключился пользователь ";  // + name + CR LF
inline constexpr char kLostAtLogin[] = "Соединение потеряно на стадии идентификации.\r\n";
inline constexpr char kCannotCreateBegin[] = "*** Не могу создать файл ";
inline constexpr char kCannotCreateEnd[] = ". Заканчиваю связь.\r\n";
inline constexpr char kProcessedBegin[] = "Сообщение ";  // + name + " от " + sender + kProcessedEnd
inline constexpr char kProcessedEnd[] = " обработано\r\n";
inline constexpr char kRelayDeniedBegin[] = "Отказано в пересылке письма для ";  // + address + " клиенту " + ...
inline constexpr char kRelayDeniedEnd[] = ": его адреса нет в RELAY_NETWORKS\r\n";
inline constexpr char kLoggedInBegin[] = "Вошел пользователь \"";  // + name + "\" (AUTH mechanism)"
inline constexpr char kLoginFailedBegin[] = "Неудачная попытка входа \"";  // + name + "\" (AUTH ...) с адреса ..."
// The message is stored and acknowledged; a step after its commit is left to recovery.
inline constexpr char kUnfinishedBegin[] = "Доставка сообщения не завершена (";  // + file: reason
inline constexpr char kUnfinishedEnd[] = "): она завершится при следующей доставке или запуске\r\n";
inline constexpr char kLocalOnly[] = "Сообщение локальное. Удалено из очереди исходящих.\r\n";

}  // namespace quelma::smtp_server::logtext
