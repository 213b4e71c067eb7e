#include "dialogs/sorter_dialog.h"

#include <algorithm>

#include "config/list_setting.h"
#include "dialogs/dialog_text.h"
#include "platform/text.h"

namespace quelma::dialogs {

namespace {

constexpr std::size_t kRecipientsLength = 498;
constexpr std::size_t kUnsortedLength = config::limits::kUndisclosedMailTo;  // what quelma.cfg keeps

bool IsDaemon(const config::Configuration& c, std::string_view name) {
  return platform::EqualsIgnoreAsciiCase(name, c.Daemon);
}

}  // namespace

std::string RuleLine(const sorting::SorterRule& rule) {
  return "Если \"" + rule.headerName + "\" содержит \"" + rule.pattern + "\" - Доставить: " +
         (rule.envelope ? "по конверту, иначе " : "") + rule.recipients + " " + (rule.stop ? " и СТОП" : "");
}

SorterDialog::SorterDialog(DialogEnvironment& env)
    : env_(env), working_(env), rules_(sorting::ReadSorterRules(env.sorter)) {}

std::vector<std::string> SorterDialog::lines() const {
  std::vector<std::string> lines;
  for (const sorting::SorterRule& rule : *rules_) lines.push_back(RuleLine(rule));
  return lines;
}

void SorterDialog::add(const sorting::SorterRule& rule) { sorting::AppendSorterRule(*rules_, rule); }

void SorterDialog::replace(int index, const sorting::SorterRule& rule) {
  if (index >= 0 && static_cast<std::size_t>(index) < rules_->size()) (*rules_)[index] = rule;
}

void SorterDialog::remove(int index) {
  if (rules_->empty()) return;
  if (!env_.prompt.ask({"Удалить эту запись?", "Удаление", Buttons::kYesNo})) return;
  if (index >= 0 && static_cast<std::size_t>(index) < rules_->size()) rules_->erase(rules_->begin() + index);
}

std::optional<int> SorterDialog::moveUp(int index) {
  if (index < 1 || static_cast<std::size_t>(index) >= rules_->size()) return std::nullopt;
  std::swap((*rules_)[index], (*rules_)[index - 1]);
  return index - 1;
}

std::optional<int> SorterDialog::moveDown(int index) {
  if (index < 0 || static_cast<std::size_t>(index) + 1 >= rules_->size()) return std::nullopt;
  std::swap((*rules_)[index], (*rules_)[index + 1]);
  return index + 1;
}

void SorterDialog::setUnsortedRecipients(const std::string& names) {
  working_.get().UNDISCLOSED_MAIL_TO = names;
  working_.publish();
  unsortedChanged_ = true;
}

bool SorterDialog::ok() {
  if (!sorting::WriteSorterRules(env_.sorter, *rules_)) {
    env_.prompt.ask({"Не могу записать файл sorter.cfg", "Ошибка", Buttons::kOk, Icon::kError});
    return false;
  }
  return !unsortedChanged_ || working_.save();
}

RuleDialog::RuleDialog(const config::Configuration& config, const sorting::SorterRule* rule)
    : config_(config), marked_(config.users.size(), false) {
  if (!rule) return;
  headerName = rule->headerName;
  pattern = rule->pattern;
  stop = rule->stop != 0;
  envelope = rule->envelope;
  for (std::string& item : config::ListItems(rule->recipients)) {
    if (item.find('@') != std::string::npos || sorting::SplitFolderRecipient(item)) {
      delivery_.push_back(std::move(item));
    } else if (const int user = config::FindLocalUser(config_, item); user >= 0 && !marked_[user]) {
      marked_[user] = true;
      delivery_.push_back(std::move(item));
    }  // a name no longer in the user table is dropped
  }
}

std::vector<std::string> RuleDialog::users() const {
  std::vector<std::string> users;
  for (std::size_t i = 0; i < config_.users.size(); ++i) {
    if (!marked_[i] && !IsDaemon(config_, config_.users[i].name)) users.push_back(config_.users[i].name);
  }
  return users;
}

bool RuleDialog::addAddress(std::string_view field) {
  const std::string address = Squeezed(field, 119);
  if (const auto folder = sorting::SplitFolderRecipient(address)) return addFolder(*folder);
  const std::size_t at = address.find('@');
  if (at == std::string::npos || at == 0 || at + 1 == address.size() || address.find('@', at + 1) != std::string::npos) {
    return false;
  }
  delivery_.push_back(address);
  return true;
}

// "ivan/Архив": a folder of a local user other than the daemon, under a name a folder can have.
bool RuleDialog::addFolder(const sorting::FolderRecipient& folder) {
  const int user = config::FindLocalUser(config_, folder.user);
  if (user < 0 || IsDaemon(config_, folder.user) || !sorting::IsPossibleFolder(folder.folder)) return false;
  const std::string item = config_.users[static_cast<std::size_t>(user)].name + "/" + folder.folder;
  if (std::find(delivery_.begin(), delivery_.end(), item) == delivery_.end()) delivery_.push_back(item);
  return true;
}

void RuleDialog::addUser(std::string_view name) {
  const int user = config::FindLocalUser(config_, name);
  if (user < 0 || marked_[user]) return;
  marked_[user] = true;
  delivery_.emplace_back(name);
}

void RuleDialog::removeDelivery(int index) {
  if (index < 0 || static_cast<std::size_t>(index) >= delivery_.size()) return;
  const std::string item = delivery_[index];
  delivery_.erase(delivery_.begin() + index);
  if (item.find('@') == std::string::npos) {
    if (const int user = config::FindLocalUser(config_, item); user >= 0) marked_[user] = false;
  }
}

std::string RuleDialog::recipients() const {
  std::vector<std::string> items;
  for (std::size_t i = 0; i < config_.users.size(); ++i) {
    if (marked_[i]) items.push_back(config_.users[i].name);
  }
  for (auto it = delivery_.rbegin(); it != delivery_.rend(); ++it) {
    if (it->find('@') != std::string::npos || sorting::SplitFolderRecipient(*it)) items.push_back(*it);
  }
  std::string list;
  for (const std::string& item : items) {
    if (item.size() + list.size() + 1 > kRecipientsLength) break;
    list += item + ",";
  }
  if (!list.empty()) list.pop_back();
  return list;
}

InnerOutcome RuleDialog::ok(std::string_view header, std::string_view searchText, bool stopFlag, bool envelopeFlag,
                            Prompt& prompt, sorting::SorterRule& rule) const {
  const std::string name = Squeezed(header, 29);
  const bool ascii = std::all_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 128; });
  const std::string text = Cut(searchText, 64);
  const std::string list = recipients();
  if (name.empty() || !ascii || text.empty() || list.empty()) {
    return prompt.ask(MissingParametersQuestion(Icon::kExclamation)) ? InnerOutcome::kEditAgain
                                                                       : InnerOutcome::kCancelled;
  }
  rule = {name, text, list, stopFlag ? 1u : 0u, envelopeFlag};
  return InnerOutcome::kAccepted;
}

UnsortedRecipientsDialog::UnsortedRecipientsDialog(const config::Configuration& c) {
  std::vector<bool> marked(c.users.size(), false);
  for (const std::string& item : config::ListItems(c.UNDISCLOSED_MAIL_TO)) {
    if (const int user = config::FindLocalUser(c, item); user >= 0 && !marked[user]) {
      marked[user] = true;
      recipients_.push_back(item);
    }
  }
  for (std::size_t i = 0; i < c.users.size(); ++i) {
    if (!marked[i] && !IsDaemon(c, c.users[i].name)) users_.push_back(c.users[i].name);
  }
}

namespace {
void Move(std::vector<std::string>& from, std::vector<std::string>& to, std::string_view name) {
  const auto it = std::find(from.begin(), from.end(), name);
  if (it == from.end()) return;
  to.push_back(*it);
  from.erase(it);
}
}  // namespace

void UnsortedRecipientsDialog::choose(std::string_view name) { Move(users_, recipients_, name); }
void UnsortedRecipientsDialog::unchoose(std::string_view name) { Move(recipients_, users_, name); }

std::string JoinRecipients(const std::vector<std::string>& inListOrder) {
  std::string names;
  for (const std::string& name : inListOrder) {
    const std::size_t length = names.size() + (names.empty() ? 0 : 1) + name.size();
    if (length > kUnsortedLength) break;
    if (!names.empty()) names += ",";
    names += name;
  }
  return names;
}

}  // namespace quelma::dialogs
