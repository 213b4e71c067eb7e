// "Правила сортировщика" (IDD_SORTEROPT) with the rule dialog (IDD_ALIAS) and the choice of
// the recipients of unsorted mail (IDD_DLGUNDIS).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "dialogs/working_configuration.h"
#include "sorting/sorter_rules.h"

namespace quelma::dialogs {

// "Если "To" содержит "x" - Доставить: a,b  и СТОП"; a rule for the envelope recipients
// shows "по конверту, иначе " before its list.
std::string RuleLine(const sorting::SorterRule& rule);

class SorterDialog {
 public:
  // Reads sorter.cfg; `opened()` is false when it can be neither read nor created.
  explicit SorterDialog(DialogEnvironment& env);
  bool opened() const { return rules_.has_value(); }

  std::vector<std::string> lines() const;
  const sorting::SorterRuleTable& rules() const { return *rules_; }
  const config::Configuration& config() const { return working_.get(); }
  const std::string& unsortedRecipients() const { return working_.get().UNDISCLOSED_MAIL_TO; }

  void add(const sorting::SorterRule& rule);                 // the rule dialog's OK
  void replace(int index, const sorting::SorterRule& rule);  // the same on a rule
  void remove(int index);  // asks first; with no rules nothing happens
  // The moved rule's new place, or nothing when it cannot move.
  std::optional<int> moveUp(int index);
  std::optional<int> moveDown(int index);
  // The unsorted-mail dialog's OK: in effect at once.
  void setUnsortedRecipients(const std::string& names);

  // Writes sorter.cfg, and quelma.cfg when the unsorted-mail recipients were changed, so that
  // the next session's reload keeps them. False (after a message) when sorter.cfg could not be
  // written: the dialog stays open and nothing is lost.
  bool ok();

 private:
  DialogEnvironment& env_;
  WorkingConfiguration working_;
  std::optional<sorting::SorterRuleTable> rules_;
  bool unsortedChanged_ = false;
};

inline constexpr const char* kHeaderChoices[] = {"To", "Cc", "From", "Received", "Subject", "X-ResentFrom"};

// The rule dialog on `rule`, or on a new rule (nullptr).
class RuleDialog {
 public:
  RuleDialog(const config::Configuration& config, const sorting::SorterRule* rule);

  std::string headerName, pattern;  // the opening texts; ok() takes what the form holds
  bool stop = false;
  bool envelope = false;  // "Получатели по конверту (общий ящик)"

  // The users that can still be added (not on the list, not the daemon), in table order; the
  // list box shows them sorted, and "Добавить >>" goes by the name it shows.
  std::vector<std::string> users() const;
  // Users and addresses on the delivery list, in the order they were put there.
  const std::vector<std::string>& delivery() const { return delivery_; }

  // ">>": an address, or a user's folder ("ivan/Архив"); false when it is not taken.
  bool addAddress(std::string_view field);
  void addUser(std::string_view name);      // "Добавить >>"
  void removeDelivery(int index);           // "<< Удалить"

  // The delivery list as the rule keeps it: marked users in table order, then the addresses,
  // the last added first; at most 498 characters.
  std::string recipients() const;

  // OK with what the form holds; on kAccepted `rule` is the result.
  InnerOutcome ok(std::string_view header, std::string_view searchText, bool stopFlag, bool envelopeFlag,
                  Prompt& prompt, sorting::SorterRule& rule) const;

 private:
  bool addFolder(const sorting::FolderRecipient& folder);
  const config::Configuration& config_;
  std::vector<bool> marked_;  // per user, in table order
  std::vector<std::string> delivery_;
};

// The recipients of unsorted mail: the users that can be chosen and the chosen ones. Their
// list boxes keep them sorted; the dialog goes by the names the lists show.
class UnsortedRecipientsDialog {
 public:
  explicit UnsortedRecipientsDialog(const config::Configuration& config);
  // In table order (the chosen ones in the order of the setting).
  const std::vector<std::string>& users() const { return users_; }
  const std::vector<std::string>& recipients() const { return recipients_; }
  // ">>" and "<<" on the entry showing `name`.
  void choose(std::string_view name);
  void unchoose(std::string_view name);

 private:
  std::vector<std::string> users_, recipients_;
};

// OK of the unsorted-mail dialog: the recipients as their list shows them, comma-separated,
// within what the setting keeps.
std::string JoinRecipients(const std::vector<std::string>& inListOrder);

}  // namespace quelma::dialogs
