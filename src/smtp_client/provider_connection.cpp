// The provider connection: buffered sending, replies through the reply reader.
#include "smtp_client/provider_connection.h"

#include "smtp_client/upload_error.h"

namespace quelma::smtp_client {
namespace {

constexpr std::size_t kSendBuffer = 64 * 1024;

}  // namespace

void ProviderConnection::open(platform::Ipv4Address address, std::uint16_t port, std::uint32_t timeoutMs) {
  socket_ = platform::Socket::CreateTcp();
  if (!socket_.valid()) throw UploadError{3};
  if (!socket_.setSendTimeout(timeoutMs)) throw UploadError{4};
  if (!socket_.setReceiveTimeout(timeoutMs)) throw UploadError{5};
  if (!socket_.connect(address, port)) throw UploadError{6};
  out_.clear();
  replies_.clear();
}

void ProviderConnection::close() {
  socket_.close();
  out_.clear();
}

void ProviderConnection::send(std::string_view bytes, int error) {
  out_ += bytes;
  outError_ = error;
  if (out_.size() >= kSendBuffer) flush();
}

void ProviderConnection::flush() {
  if (out_.empty()) return;
  const bool sent = socket_.sendAll(out_);
  out_.clear();
  if (!sent) throw UploadError{outError_};
}

const std::string& ProviderConnection::readReply(int error) {
  flush();
  if (!replies_.read(reply_)) throw UploadError{error};
  return reply_;
}

}  // namespace quelma::smtp_client
