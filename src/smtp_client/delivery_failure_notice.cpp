// The notice's fixed texts and its append to the postmaster's maildrop.
#include "smtp_client/delivery_failure_notice.h"

#include "spool/maildrop_text.h"

namespace quelma::smtp_client {
namespace {

const char* ReasonText(NoticeReason reason) {
  switch (reason) {
    case NoticeReason::kRecipientsRefused:
      return "Сервер не принял email адрес(а) получателей\r\nСообщение не отправлено.\r\n";
    case NoticeReason::kSomeRecipientsRefused:
      return "Сообщение отправлено, но не всем указанным получателям,\r\nт.к. сервер не смог их определить.\r\n";
    case NoticeReason::kMessageRefused:
      return "Сообщение не отправлено,\r\nполучен отказ сервера обрабатывать сообщение.\r\n";
  }
  return "";
}

}  // namespace

std::string FormatNoticeHead(const config::Configuration& config, NoticeReason reason,
                             const std::vector<std::string>& refusals, const spool::NoticeStamp& stamp) {
  std::string head =
      spool::FormatNoticeHeader(config, "SMTP MAIL DELIVERY SYSTEM", "Message delivery error notification", stamp);
  head += "Произошла ошибка при попытке отправить сообщение на SMTP сервер.\r\n";
  head += "Причина: ";
  head += ReasonText(reason);
  if (!refusals.empty()) {
    head += "Ответ сервера:\r\n";
    for (const std::string& line : refusals) head += line;
  }
  head += "Сообщение:\r\n";
  return head;
}

bool WriteDeliveryFailureNotice(const config::Configuration& config, NoticeReason reason,
                                const std::vector<std::string>& refusals, platform::InputFile& queueFile) {
  if (!queueFile.rewind()) return false;
  const std::string head = FormatNoticeHead(config, reason, refusals, spool::NewNoticeStamp(config));
  return spool::WritePostmasterNotice(config, head, [&](spool::MaildropTextWriter& out) {
    return spool::WriteFileText(queueFile, out);
  });
}

}  // namespace quelma::smtp_client
