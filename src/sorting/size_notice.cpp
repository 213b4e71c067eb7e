// The notice's text, with the large message's sender, subject and date made readable and safe.
#include "sorting/size_notice.h"

#include "codec/encoded_words.h"
#include "platform/text.h"
#include "sorting/message_header.h"
#include "spool/postmaster_notice.h"

namespace quelma::sorting {
namespace {

// The value of the header's first `name` field, decoded, on one line, in printable text only:
// what a provider's message says must not write lines of its own into the notice.
std::string FieldOf(const std::string& header, std::string_view name) {
  const auto values = MessageHeader(header).values(name);
  if (values.empty()) return "-";
  std::string value = codec::DecodeHeaderValue(values.front());
  value.erase(0, value.find_first_not_of(" \t"));
  return platform::Printable(value, 200);
}

}  // namespace

std::string FormatSizeNotice(const config::Configuration& config, const LeftAtProvider& m) {
  std::string text = spool::FormatNoticeHeader(config, "POP3 MAIL DOWNLOAD SYSTEM", "Message left on the provider's server");
  if (m.folder.empty()) {
    text += "Сообщение не загружено с POP3 сервера \"" + m.server + "\" (счет \"" + m.login + "\"):\r\n";
  } else {
    text += "Сообщение не загружено с IMAP сервера \"" + m.server + "\" (счет \"" + m.login + "\", папка \"" +
            platform::Printable(m.folder, 200) + "\"):\r\n";
  }
  text += "его размер " + std::to_string(m.bytes) + " байтов больше предела счета " + std::to_string(m.limitKb) +
          " КБ (maxsize).\r\n";
  text += "Оно остается на сервере. Заберите его другой почтовой программой или увеличьте предел.\r\n\r\n";
  text += "От: " + FieldOf(m.header, "From") + "\r\n";
  text += "Тема: " + FieldOf(m.header, "Subject") + "\r\n";
  text += "Дата: " + FieldOf(m.header, "Date") + "\r\n";
  return text;
}

bool WriteSizeNotice(const config::Configuration& config, const LeftAtProvider& message) {
  return spool::WritePostmasterNotice(config, FormatSizeNotice(config, message));
}

}  // namespace quelma::sorting
