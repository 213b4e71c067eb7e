// The notice's fixed texts and its append to the postmaster's maildrop.
#include "smtp_client/delivery_failure_notice.h"

#include "spool/maildrop_text.h"
#include "spool/postmaster_notice.h"

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

std::string FormatNoticeHead(const config::Configuration& config, NoticeReason reason) {
  std::string head = spool::FormatNoticeHeader(config, "SMTP MAIL DELIVERY SYSTEM", "Message delivery error notification");
  head += "Произошла ошибка при попытке отправить сообщение на SMTP сервер.\r\n";
  head += "Причина: ";
  head += ReasonText(reason);
  head += "Сообщение:\r\n";
  return head;
}

bool WriteDeliveryFailureNotice(const config::Configuration& config, NoticeReason reason,
                                platform::InputFile& queueFile) {
  if (!queueFile.rewind()) return false;
  return spool::WritePostmasterNotice(config, FormatNoticeHead(config, reason), [&](spool::MaildropTextWriter& out) {
    return spool::WriteFileText(queueFile, out);
  });
}

}  // namespace quelma::smtp_client
