// "config phone ...": the phone numbers of the dial-up entry in the communication dialog.
#include "app/console/config_commands.h"
#include "app/console/config_words.h"
#include "dialogs/communication_dialog.h"

namespace quelma::app {

int PhoneCommand(ConfigSession& session, Words words) {
  const char* usage = "config phone list | add NUMBER | edit N NUMBER | delete N";
  dialogs::CommunicationDialog dialog(session.env(), session.access());
  const std::vector<std::string>& phones = dialog.dialUp().phones;
  const std::string verb = words.empty() ? "" : words[0];
  if (verb == "list" && words.size() == 1) {
    for (std::size_t i = 0; i < phones.size(); ++i) session.say(std::to_string(i) + ": " + phones[i]);
    return 0;
  }
  // The numbers belong to the dial-up group, which is open only with dial-up entries and UseLAN = NO.
  if (!dialog.dialUp().enabled) return session.refuse("Телефоны задаются для связи по телефону: quelma config set UseLAN NO");
  int index = -1;
  std::string number;
  if (verb == "add" && words.size() == 2) {
    index = dialog.newPhoneIndex();
    if (index < 0) return session.refuse("Список телефонов полон.");
    number = words[1];
  } else if ((verb == "edit" && words.size() == 3) || (verb == "delete" && words.size() == 2)) {
    const auto at = ParseIndex(words[1], phones.size());
    if (!at) return session.refuse("Нет телефона " + words[1] + ".");
    index = *at;
    if (verb == "edit") number = words[2];
  } else {
    return session.usage(usage);
  }
  if (verb == "delete") {
    dialog.deletePhone(index);
  } else {
    const auto word = TerminalWordToCp1251(number);
    const auto accepted = word ? dialogs::AcceptPhoneNumber(*word) : std::nullopt;
    if (!accepted) return session.refuse("Номер не задан.");
    dialog.phoneChanged(index, *accepted);
  }
  return session.finish(dialog.ok(dialog.fields()));
}

}  // namespace quelma::app
