#include "app/console/config_command.h"

#include <algorithm>
#include <ostream>

#include "app/console/config_commands.h"
#include "config/config_file.h"
#include "dialup/remote_access.h"

namespace quelma::app {

namespace {

// Every [Parameters] key with its value, also the ones at their defaults that quelma.cfg leaves
// out, those marked; the SMTP password and OAuth client secrets hidden; then the lines this
// build does not know, as the file has them.
std::vector<std::string> ParameterLines(const config::Configuration& config, const std::string& programDir) {
  std::vector<std::string> lines;
  const std::vector<config::ParameterLine> defaults = config::EveryParameter(config::DefaultConfiguration(programDir));
  for (const config::ParameterLine& p : config::EveryParameter(config)) {
    const bool secret = p.key == "SMTP_LOGIN_PASS" || p.key.ends_with("_CLIENT_SECRET");
    const bool atDefault = std::any_of(defaults.begin(), defaults.end(), [&p](const config::ParameterLine& d) {
      return d.key == p.key && d.value == p.value;
    });
    lines.push_back(p.key + " = " + (secret && !p.value.empty() ? std::string("********") : p.value) +
                    (atDefault ? "  (по умолчанию)" : ""));
  }
  for (const config::UnknownParameter& unknown : config.unknownParameters) {
    lines.push_back(unknown.line + "  (неизвестный параметр: программа его не использует)");
  }
  return lines;
}

}  // namespace

int ShowCommand(ConfigSession& session) {
  const auto config = session.config();
  session.say("# " + config::ConfigFilePath(session.programDir()));
  for (const std::string& line : ParameterLines(*config, session.programDir())) session.say(line);
  session.say("");
  session.say("# Пользователи (quelma config user ...)");
  for (const std::string& line : UserLines(*config)) session.say(line);
  session.say("");
  session.say("# Счета провайдера (quelma config account ...)");
  for (const std::string& line : AccountLines(*config)) session.say(line);
  session.say("");
  session.say("# Правила сортировщика (quelma config rule ...)");
  for (const std::string& line : RuleLines(session)) session.say(line);
  session.say("");
  session.say("# Расписание (quelma config schedule ...)");
  for (const std::string& line : ScheduleLines(*config)) session.say(line);
  return 0;
}

const char* ConfigUsage() {
  return "       quelma [--dir DIR] config show\n"
         "       quelma [--dir DIR] config set KEY VALUE [KEY VALUE ...]\n"
         "       quelma [--dir DIR] config user list | add NAME [--alias A] [--password-stdin] |\n"
         "                          edit NAME [--name N] [--alias A] [--password-stdin] | delete NAME\n"
         "       quelma [--dir DIR] config role postmaster|daemon|boss NAME|none\n"
         "       quelma [--dir DIR] config account list | delete N | add|edit N [--preset gmail|microsoft|yandex|mailru]\n"
         "                          [--server S] [--login L] [--port P] [--tls none|stls|ssl] [--apop yes|no]\n"
         "                          [--deliver USER|*] [--auth password|xoauth2|oauthbearer] [--oauth PLATFORM]\n"
         "                          [--fingerprint HEX|none] [--keep DAYS|forever] [--maxsize KB] [--password-stdin]\n"
         "                          [--proto pop3|imap] [--folders \"INBOX,NAME...\"] [--after delete|move:FOLDER]\n"
         "                          [--idle yes|no]\n"
         "       quelma [--dir DIR] config smtp set [--preset P] [--server S] [--port P] [--tls none|starttls|ssl]\n"
         "                          [--fingerprint HEX|none] [--ca-file FILE|none] [--login NAME | --no-login]\n"
         "                          [--auth password|xoauth2|oauthbearer] [--oauth PLATFORM] [--password-stdin]\n"
         "       quelma [--dir DIR] config phone list | add NUMBER | edit N NUMBER | delete N\n"
         "       quelma [--dir DIR] config rule list | add HEADER TEXT RECIPIENTS [--stop] [--envelope] |\n"
         "                          edit N [--header H] [--contains T] [--deliver LIST] [--stop yes|no]\n"
         "                          [--envelope yes|no] | move N up|down | delete N\n"
         "       quelma [--dir DIR] config unsorted set NAME,NAME...|none\n"
         "       quelma [--dir DIR] config schedule list | set mon..sun|all HH:MM HH:MM PERIOD | set DAY off\n";
}

int ConfigCommand(const std::string& programDir, const std::vector<std::string>& words, std::istream& in,
                  std::ostream& out, std::ostream& err) {
  const auto access = dialup::CreateSystemRemoteAccess();
  return ConfigCommand(programDir, *access, words, in, out, err);
}

int ConfigCommand(const std::string& programDir, dialup::RemoteAccess& access, const std::vector<std::string>& words,
                  std::istream& in, std::ostream& out, std::ostream& err) {
  if (words.empty()) {
    err << "usage:\n" << ConfigUsage();
    return 2;
  }
  ConfigSession session(programDir, access, in, out, err);
  if (!session.loaded()) return 1;
  const std::string& part = words[0];
  const Words rest = Words(words).subspan(1);
  if (part == "show" && rest.empty()) return ShowCommand(session);
  if (part == "set") return SetCommand(session, rest);
  if (part == "user") return UserCommand(session, rest);
  if (part == "role") return RoleCommand(session, rest);
  if (part == "account") return AccountCommand(session, rest);
  if (part == "smtp") return SmtpCommand(session, rest);
  if (part == "phone") return PhoneCommand(session, rest);
  if (part == "rule") return RuleCommand(session, rest);
  if (part == "unsorted") return UnsortedCommand(session, rest);
  if (part == "schedule") return ScheduleCommand(session, rest);
  err << "usage:\n" << ConfigUsage();
  return 2;
}

}  // namespace quelma::app
