// How a hint of the settings check names the way to change a setting: the Linux command line
// names its command, the Windows report window the dialog and its field. The front end that
// runs the check passes in its own.
#pragma once

#include <functional>
#include <string>

namespace quelma::app {

// What a hint asks the administrator to change; `subject` says which one, where there are several.
enum class Mend {
  kAccountServer,       // subject: the account's number; its server, port and login
  kAccountPassword,     // the account's number
  kAccountTls,          // the account's number; its TLS mode and port
  kAccountFingerprint,  // the account's number
  kAccountOauthLogin,   // the account's number
  kAccountAuth,         // the account's number; how it logs in (password or OAuth)
  kAccountKeep,         // the account's number; how long mail stays at the provider
  kAccountProtocol,     // the account's number; POP3 or IMAP, its folders and push
  kSmtpServer,          // the provider's SMTP server and port
  kSmtpLogin,           // whether and how the SMTP client logs in
  kSmtpPassword,
  kSmtpTls,             // the SMTP TLS mode and port
  kSmtpFingerprint,
  kSmtpOauthLogin,
  kSmtpAuth,            // how the SMTP client logs in (password or OAuth)
  kCaFile,              // the extra trusted certificates (TLS_CA_FILE)
  kOauthPlatform,       // subject: the identity platform's name, or empty
  kUserPassword,        // subject: the local user's name
  kServersSetting,      // subject: the quelma.cfg key of a field of the servers dialog
  kDialUpEntry,         // the dial-up connection
};

// The words after a verb ("задайте ...", "пароль задается ..."): "командой "quelma ..."" or
// "в окне "Настройки > ...", поле "..."".
using MendWords = std::function<std::string(Mend, const std::string& subject)>;

std::string CommandLineMend(Mend mend, const std::string& subject);
std::string WindowsMend(Mend mend, const std::string& subject);

// `words` when given, else the command line's.
std::string NameMend(const MendWords& words, Mend mend, const std::string& subject = {});

}  // namespace quelma::app
