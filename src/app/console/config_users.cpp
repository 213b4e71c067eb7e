// "config user ..." and "config role ...": the user list of the servers dialog.
#include <algorithm>

#include "app/console/config_commands.h"
#include "app/console/config_words.h"
#include "dialogs/servers_dialog.h"
#include "platform/text.h"

namespace quelma::app {

namespace {

constexpr KnownOption kUserOptions[] = {{"name", true}, {"alias", true}, {"password-stdin", false}};

// The user dialog's three fields from what was typed; the dialog's fields hold no more than
// these lengths, so a longer text is refused rather than cut.
std::optional<std::string> FieldProblem(const std::string& name, const std::string& password, const std::string& alias) {
  if (name.size() > dialogs::kUserNameField) {
    return "Имя пользователя длиннее " + std::to_string(dialogs::kUserNameField) + " символов.";
  }
  if (alias.size() > dialogs::kUserAliasField) {
    return "Адрес длиннее " + std::to_string(dialogs::kUserAliasField) + " символов.";
  }
  std::string squeezed = password;  // the dialog drops blanks before it checks
  squeezed.erase(std::remove(squeezed.begin(), squeezed.end(), ' '), squeezed.end());
  return dialogs::UserPasswordProblem(squeezed);
}

// A name typed on the command line: the dialog would drop its blanks without a word, and the
// POP3 server matches a login only in letters A-Z, digits and "_-." (ReadUserName), so any other
// character makes a user who can never collect mail.
std::optional<std::string> TypedNameProblem(const std::string& name) {
  static constexpr char kNameChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-.";
  if (name.find_first_not_of(kNameChars) == std::string::npos) return std::nullopt;
  return "Имя пользователя \"" + name + "\": допустимы только латинские буквы, цифры и знаки _ - . "
         "(с другими знаками POP3-сервер не примет вход).";
}

// The user dialog's OK: add (index -1) or edit, then the servers dialog's OK.
int AcceptUser(ConfigSession& session, int index, const CommandWords& w, const config::LocalUser& shown) {
  std::string name = w.value("name").value_or(shown.name);
  if (index < 0) name = w.positional.at(1);
  const std::string alias = w.value("alias").value_or(shown.alias);
  std::string password = shown.password;
  if (w.has("password-stdin")) {
    const auto line = session.readLine();
    if (!line) return session.refuse("пароль не прочитан со стандартного ввода");
    password = *line;
  }
  if (index < 0 || w.has("name")) {
    if (const auto problem = TypedNameProblem(name)) return session.refuse(*problem);
  }
  if (const auto problem = FieldProblem(name, password, alias)) return session.refuse(*problem);
  const auto user = dialogs::AcceptUserFields(name, password, alias);
  if (!user) return session.refuse("Не задано имя пользователя.");
  dialogs::ServersDialog dialog(session.env());
  if (index < 0) {
    if (!dialog.canAdd()) {
      return session.refuse("В списке уже " + std::to_string(config::limits::kUsers) + " пользователей.");
    }
    dialog.add(*user);
  } else {
    dialog.edit(index, *user);
  }
  if (session.refused()) return 1;
  const int result = session.finish(dialog.ok(dialog.fields()));
  if (result == 0 && dialogs::NoPasswordWarning(*session.config(), *user)) {
    session.say("Пароль задается командой: quelma set-password user " + user->name);
  }
  return result;
}

}  // namespace

std::vector<std::string> UserLines(const config::Configuration& config) {
  std::vector<std::string> lines;
  for (const dialogs::UserRow& row : dialogs::UserRows(config)) {
    std::string line = row.name;
    if (!row.alias.empty()) line += "  <" + row.alias + ">";
    if (row.password.empty()) line += "  (без пароля)";
    if (!row.role.empty()) line += "  " + row.role;
    lines.push_back(line);
  }
  return lines;
}

int UserCommand(ConfigSession& session, Words words) {
  const CommandWords w = ParseCommandWords(words, kUserOptions);
  if (!w.problem.empty()) return session.usage(w.problem);
  const std::string verb = w.positional.empty() ? "" : w.positional[0];
  if (verb == "list" && w.positional.size() == 1 && w.options.empty()) {
    for (const std::string& line : UserLines(*session.config())) session.say(line);
    return 0;
  }
  if (w.positional.size() != 2 || (verb != "add" && verb != "edit" && verb != "delete")) {
    return session.usage("config user list | add NAME | edit NAME | delete NAME");
  }
  if (verb == "add") {
    if (w.has("name")) return session.usage("у \"user add\" имя пишется без --name");
    return AcceptUser(session, -1, w, {});
  }
  const config::Configuration& c = *session.config();
  const int index = config::FindLocalUser(c, w.positional[1]);
  if (index < 0) return session.refuse("Нет пользователя \"" + w.positional[1] + "\".");
  if (verb == "edit") return AcceptUser(session, index, w, c.users[static_cast<std::size_t>(index)]);
  if (!w.options.empty()) return session.usage("у \"user delete\" нет параметров");
  dialogs::ServersDialog dialog(session.env());
  dialog.remove(index);
  if (session.refused()) return 1;
  return session.finish(dialog.ok(dialog.fields()));
}

int RoleCommand(ConfigSession& session, Words words) {
  if (words.size() != 2) return session.usage("config role postmaster|daemon|boss NAME (boss none: без начальника)");
  const auto role = TerminalWordToCp1251(words[0]);
  const auto name = TerminalWordToCp1251(words[1]);
  if (!role || !name) return session.usage("символ, которого нет в кодировке Windows-1251");
  dialogs::ServersDialog dialog(session.env());
  const int index = config::FindLocalUser(dialog.config(), *name);
  const bool nobody = *role == "boss" && *name == "none";
  if (index < 0 && !nobody) return session.refuse("Нет пользователя \"" + *name + "\".");
  if (*role == "postmaster") {
    dialog.makePostmaster(index);
  } else if (*role == "daemon") {
    dialog.makeDaemon(index);
  } else if (*role == "boss") {
    // The dialog gives the daemon no boss mark: say so instead of doing nothing.
    if (!nobody && platform::EqualsIgnoreAsciiCase(dialog.config().users[static_cast<std::size_t>(index)].name,
                                                   dialog.config().Daemon)) {
      return session.refuse("Демон не может быть начальником");
    }
    dialog.makeBoss(nobody ? -1 : index);
  } else {
    return session.usage("config role postmaster|daemon|boss NAME");
  }
  if (session.refused()) return 1;
  return session.finish(dialog.ok(dialog.fields()));
}

}  // namespace quelma::app
