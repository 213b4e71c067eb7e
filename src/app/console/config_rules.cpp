// "config rule ..." and "config unsorted set ...": the sorter dialog, its rule dialog and the
// choice of the recipients of unsorted mail.
#include <algorithm>

#include "config/list_setting.h"
#include "app/console/config_commands.h"
#include "app/console/config_words.h"
#include "dialogs/sorter_dialog.h"
#include "platform/text.h"

namespace quelma::app {

namespace {

constexpr KnownOption kAddOptions[] = {{"stop", false}, {"envelope", false}};
constexpr KnownOption kEditOptions[] = {
    {"header", true}, {"contains", true}, {"deliver", true}, {"stop", true}, {"envelope", true}};

// The delivery list of the rule dialog made to hold `list`: local users as "Добавить >>" adds
// them, addresses as ">>" does.
std::optional<std::string> FillDelivery(dialogs::RuleDialog& dialog, const config::Configuration& c, const std::string& list) {
  while (!dialog.delivery().empty()) dialog.removeDelivery(0);
  for (const std::string& item : config::ListItems(list)) {
    if (item.find('@') != std::string::npos) {
      if (!dialog.addAddress(item)) return "Адрес \"" + item + "\" не принят.";
      continue;
    }
    if (const auto folder = sorting::SplitFolderRecipient(item)) {
      std::string refusal;
      if (config::FindLocalUser(c, folder->user) < 0) return "Нет пользователя \"" + folder->user + "\".";
      if (!sorting::IsPossibleFolder(folder->folder, &refusal)) return "Папка \"" + item + "\" не принята: " + refusal + ".";
      if (!dialog.addAddress(item)) return "Демону почта по правилам не доставляется.";
      continue;
    }
    const int user = config::FindLocalUser(c, item);
    if (user < 0) return "Нет пользователя \"" + item + "\".";
    const std::string& name = c.users[static_cast<std::size_t>(user)].name;
    const auto offered = dialog.users();
    if (std::find(offered.begin(), offered.end(), name) != offered.end()) {
      dialog.addUser(name);
    } else if (platform::EqualsIgnoreAsciiCase(name, c.Daemon)) {
      return "Демону почта по правилам не доставляется.";
    }  // already on the list
  }
  return std::nullopt;
}

std::optional<bool> Flag(const CommandWords& w, std::string_view name, bool now, std::string& problem) {
  const auto v = w.value(name);
  if (!v) return now;
  const auto yes = ParseYesNo(*v);
  if (!yes) problem = "--" + std::string(name) + ": yes или no";
  return yes;
}

// The rule dialog's OK on rule `index` (-1: a new one), then the sorter dialog's OK.
int AcceptRule(ConfigSession& session, dialogs::SorterDialog& sorter, int index, const std::string& header,
               const std::string& pattern, const std::optional<std::string>& deliver, bool stop, bool envelope) {
  const config::Configuration& c = sorter.config();
  const sorting::SorterRule* shown = index < 0 ? nullptr : &sorter.rules()[static_cast<std::size_t>(index)];
  dialogs::RuleDialog dialog(c, shown);
  if (deliver) {
    if (const auto problem = FillDelivery(dialog, c, *deliver)) return session.refuse(*problem);
  }
  sorting::SorterRule rule;
  if (dialog.ok(header, pattern, stop, envelope, session.prompt(), rule) != dialogs::InnerOutcome::kAccepted) return 1;
  if (index < 0) {
    sorter.add(rule);
  } else {
    sorter.replace(index, rule);
  }
  return session.finish(sorter.ok());
}

}  // namespace

std::vector<std::string> RuleLines(ConfigSession& session) {
  dialogs::SorterDialog sorter(session.env());
  if (!sorter.opened()) return {};
  std::vector<std::string> lines = sorter.lines();
  for (std::size_t i = 0; i < lines.size(); ++i) lines[i] = std::to_string(i) + ": " + lines[i];
  return lines;
}

int RuleCommand(ConfigSession& session, Words words) {
  const std::string verb = words.empty() ? "" : words[0];
  const bool add = verb == "add";
  const CommandWords w = ParseCommandWords(words, add ? std::span<const KnownOption>(kAddOptions) : kEditOptions);
  if (!w.problem.empty()) return session.usage(w.problem);
  if (verb == "list" && w.positional.size() == 1 && w.options.empty()) {
    for (const std::string& line : RuleLines(session)) session.say(line);
    return 0;
  }
  dialogs::SorterDialog sorter(session.env());
  if (!sorter.opened()) return session.refuse("Не могу прочитать или создать файл sorter.cfg");
  if (add) {
    if (w.positional.size() != 4) return session.usage("config rule add HEADER TEXT RECIPIENTS [--stop] [--envelope]");
    return AcceptRule(session, sorter, -1, w.positional[1], w.positional[2], w.positional[3], w.has("stop"),
                      w.has("envelope"));
  }
  const std::size_t count = sorter.rules().size();
  const bool move = verb == "move" && w.positional.size() == 3 && w.options.empty();
  if (!move && ((verb != "edit" && verb != "delete") || w.positional.size() != 2)) {
    return session.usage("config rule list | add HEADER TEXT RECIPIENTS | edit N [--header H] [--contains T] "
                         "[--deliver LIST] [--stop yes|no] [--envelope yes|no] | move N up|down | delete N");
  }
  const auto index = ParseIndex(w.positional[1], count);
  if (!index) return session.refuse("Нет правила " + w.positional[1] + " (правил: " + std::to_string(count) + ").");
  if (verb == "delete") {
    if (!w.options.empty()) return session.usage("у \"rule delete\" нет параметров");
    sorter.remove(*index);
    return session.finish(sorter.ok());
  }
  if (move) {
    if (w.positional[2] != "up" && w.positional[2] != "down") return session.usage("config rule move N up|down");
    const auto moved = w.positional[2] == "up" ? sorter.moveUp(*index) : sorter.moveDown(*index);
    if (!moved) return session.refuse(w.positional[2] == "up" ? "Правило уже первое." : "Правило уже последнее.");
    return session.finish(sorter.ok());
  }
  const sorting::SorterRule& rule = sorter.rules()[static_cast<std::size_t>(*index)];
  std::string problem;
  const auto stop = Flag(w, "stop", rule.stop != 0, problem);
  const auto envelope = Flag(w, "envelope", rule.envelope, problem);
  if (!problem.empty()) return session.usage(problem);
  return AcceptRule(session, sorter, *index, w.value("header").value_or(rule.headerName),
                    w.value("contains").value_or(rule.pattern), w.value("deliver"), *stop, *envelope);
}

int UnsortedCommand(ConfigSession& session, Words words) {
  if (words.size() != 2 || words[0] != "set") return session.usage("config unsorted set NAME,NAME... (none: никому)");
  const auto list = TerminalWordToCp1251(words[1]);
  if (!list) return session.usage("символ, которого нет в кодировке Windows-1251");
  dialogs::SorterDialog sorter(session.env());
  if (!sorter.opened()) return session.refuse("Не могу прочитать или создать файл sorter.cfg");
  const config::Configuration& c = sorter.config();
  dialogs::UnsortedRecipientsDialog dialog(c);
  const std::vector<std::string> before = dialog.recipients();
  for (const std::string& chosen : before) dialog.unchoose(chosen);
  for (const std::string& item : config::ListItems(*list == "none" ? std::string() : *list)) {
    const int user = config::FindLocalUser(c, item);
    if (user < 0) return session.refuse("Нет пользователя \"" + item + "\".");
    const std::string& name = c.users[static_cast<std::size_t>(user)].name;
    if (platform::EqualsIgnoreAsciiCase(name, c.Daemon)) return session.refuse("Демон не получает неотсортированную почту.");
    dialog.choose(name);
  }
  // The chosen list shows its names sorted, and OK takes them in that order.
  std::vector<std::string> shown = dialog.recipients();
  std::stable_sort(shown.begin(), shown.end(), [](const std::string& a, const std::string& b) {
    return platform::ToLowerCp1251(a) < platform::ToLowerCp1251(b);
  });
  sorter.setUnsortedRecipients(dialogs::JoinRecipients(shown));
  return session.finish(sorter.ok());
}

}  // namespace quelma::app
