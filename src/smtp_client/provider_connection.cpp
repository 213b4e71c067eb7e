// The provider connection: buffered sending, replies through the reply reader.
#include "smtp_client/provider_connection.h"

namespace quelma::smtp_client {

void ProviderConnection::send(std::string_view bytes, SmtpClientError error) {
  if (failed()) return;
  out_ += bytes;
  outError_ = error;
  if (out_.size() >= kSendBuffer) flush();
}

void ProviderConnection::flush() {
  if (out_.empty() || failed()) return;
  const bool sent = stream_->sendAll(out_);
  out_.clear();
  if (!sent) error_ = outError_;
}

bool ProviderConnection::readReply(SmtpClientError error) {
  flush();
  if (failed()) return false;
  if (!replies_.read(reply_)) {
    reply_.clear();
    error_ = error;
  }
  return !failed();
}

}  // namespace quelma::smtp_client
