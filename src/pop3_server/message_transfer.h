// A stored message on its way to a POP3 client as a multi-line reply: the status line, the
// text with every line that begins with "." stuffed, and the end line; for TOP only the
// header, the empty line after it and the asked number of body lines.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "net/reply_sink.h"
#include "net/transfer_form.h"

namespace quelma::pop3_server {

class MessageTransfer {
 public:
  // Without `topLines` the whole text goes. The status goes out with the text, not as a
  // write of its own.
  MessageTransfer(std::string_view status, net::ReplySink& sink, std::optional<std::uint64_t> topLines);

  // The next bytes of the stored text. False once no more is wanted: TOP has its lines, or
  // a send failed (see sendFailed).
  bool add(std::string_view piece);

  // The end line (after a CR LF when the text did not end with one); false when the
  // connection is gone. Only for a text that was read whole: a cut one never gets it.
  bool finish();

  bool sendFailed() const { return sendFailed_; }

 private:
  bool flushIfFull();
  void endOfLine();

  net::ReplySink& sink_;
  std::optional<std::uint64_t> topLines_;
  std::string out_;
  bool atLineStart_ = true;
  bool inHeader_ = true;
  bool enough_ = false;
  bool sendFailed_ = false;
  std::uint64_t lineLength_ = 0;
  std::uint64_t bodyLines_ = 0;
  char firstByte_ = 0;
  net::DotStuffer stuffer_;  // stored text goes as it is: only the dots are added
};

}  // namespace quelma::pop3_server
