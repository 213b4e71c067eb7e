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
