#include "app/console/config_command.h"

#include <ostream>

#include "app/console/config_commands.h"
#include "config/config_file.h"
#include "dialup/remote_access.h"

namespace quelma::app {

namespace {

// The [Parameters] lines as quelma.cfg has them, with the SMTP password and OAuth client
// secrets hidden.
std::vector<std::string> ParameterLines(const config::Configuration& config) {
  std::vector<std::string> lines;
  const std::string text = config::FormatConfiguration(config);
  bool parameters = false;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 2;
    if (line.starts_with("[")) {
      parameters = line == "[Parameters]";
      continue;
    }
    if (!parameters) continue;
    const std::size_t equals = line.find(" = ");
    const std::string key = line.substr(0, equals);
    const bool secret = key == "SMTP_LOGIN_PASS" || key.ends_with("_CLIENT_SECRET");
    if (secret && equals != std::string::npos && equals + 3 < line.size()) line = key + " = ********";
    lines.push_back(line);
  }
  return lines;
}

}  // namespace

int ShowCommand(ConfigSession& session) {
  const auto config = session.config();
  session.say("# " + config::ConfigFilePath(session.programDir()));
  for (const std::string& line : ParameterLines(*config)) session.say(line);
  session.say("");
  session.say("# Пользователи (quelma config user ...)");
  for (const std::string& line : UserLines(*config)) session.say(line);
  session.say("");
  session.say("# Счета POP3 (quelma config account ...)");
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
