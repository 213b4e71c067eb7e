// The notice's fixed texts and its append to the postmaster's maildrop.
#include "smtp_client/delivery_failure_notice.h"

#include "spool/delivery.h"
#include "spool/maildrop.h"

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
  std::string head = "From: \"" + config.LocalDomain + " SMTP MAIL DELIVERY SYSTEM\"\r\n";
  head += "To: \"Postmaster\"<" + config.PostMaster + "@" + config.LocalDomain + ">\r\n";
  head += "Subject: Message delivery error notification\r\n";
  head += "Content-Type: text/plain; charset=Windows-1251\r\n\r\n";
  head += "Произошла ошибка при попытке отправить сообщение на SMTP сервер.\r\n";
  head += "Причина: ";
  head += ReasonText(reason);
  head += "Сообщение:\r\n";
  return head;
}

bool WriteDeliveryFailureNotice(const config::Configuration& config, NoticeReason reason,
                                platform::InputFile& queueFile) {
  if (!queueFile.rewind()) return false;
  const std::string head = FormatNoticeHead(config, reason);
  const std::string path = spool::MaildropPath(config, config.PostMaster);
  spool::Delivery delivery(config);
  if (!delivery.willAppend({path})) return false;
  const auto result = spool::AppendToMaildropWith(
      path, spool::NewSeparatorLine(),
      [&](spool::MaildropTextWriter& out) { return out.write(head) && spool::WriteFileText(queueFile, out); }, false);
  return result == spool::AppendResult::kAppended && delivery.commit().has_value();
}

}  // namespace quelma::smtp_client
