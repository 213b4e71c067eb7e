// A session's messages into a mailbox: one delivery, then the UIDs the index gave them.
#include "spool/mailbox_append.h"

#include "spool/delivery.h"
#include "spool/maildrop.h"

namespace quelma::spool {

std::optional<AppendedMessages> AppendMessages(const config::Configuration& config, Mailbox& target,
                                               const std::vector<NewMessage>& messages, std::string& problem) {
  Delivery delivery(config);
  if (!delivery.willAppend({target.path()})) {
    problem = delivery.problem().empty() ? target.path() : delivery.problem();
    return std::nullopt;
  }
  std::vector<std::string> ids;
  ids.reserve(messages.size());
  for (const NewMessage& message : messages) {
    const std::string separator = NewSeparatorLine();
    ids.push_back(separator.substr(kMaildropMarker.size() + 1, kSeparatorIdLength));
    target.expect(ids.back(), message.arrival);
    if (AppendToMaildropWith(target.path(), separator, message.write, false) != AppendResult::kAppended) {
      problem = delivery.problem().empty() ? target.path() : delivery.problem();
      return std::nullopt;  // the delivery is undone as it ends
    }
  }
  if (!delivery.commit()) {
    problem = delivery.problem().empty() ? target.path() : delivery.problem();
    return std::nullopt;
  }
  // The commit took the new mail into the index unless another writer held the mailbox then.
  target.refresh();
  AppendedMessages appended;
  appended.uidValidity = target.index().uidValidity;
  for (const std::string& id : ids) {
    const auto uid = target.takeUid(id);
    if (!uid) {
      problem = target.indexPath();
      return std::nullopt;
    }
    appended.uids.push_back(*uid);
  }
  return appended;
}

}  // namespace quelma::spool
