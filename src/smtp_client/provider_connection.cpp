// Buffered sending and the bounded, line-wise reply reader of the provider connection.
#include "smtp_client/provider_connection.h"

#include "smtp_client/upload_error.h"

namespace quelma::smtp_client {
namespace {

constexpr std::size_t kSendBuffer = 64 * 1024;
// A peer that sends a reply line without end is broken; the reader gives up after this much.
constexpr std::size_t kMaxReplyBytes = 64 * 1024;

}  // namespace

void ProviderConnection::open(platform::Ipv4Address address, std::uint16_t port, std::uint32_t timeoutMs) {
  socket_ = platform::Socket::CreateTcp();
  if (!socket_.valid()) throw UploadError{3};
  if (!socket_.setSendTimeout(timeoutMs)) throw UploadError{4};
  if (!socket_.setReceiveTimeout(timeoutMs)) throw UploadError{5};
  if (!socket_.connect(address, port)) throw UploadError{6};
  out_.clear();
  inBegin_ = inEnd_ = 0;
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

char ProviderConnection::readByte(int error) {
  if (inBegin_ == inEnd_) {
    const long n = socket_.receive(in_, sizeof in_);
    if (n <= 0) throw UploadError{error};
    inBegin_ = 0;
    inEnd_ = static_cast<std::size_t>(n);
  }
  return in_[inBegin_++];
}

std::string ProviderConnection::readLine(int error) {
  std::string line;
  std::size_t length = 0;
  char c = 0;
  do {
    c = readByte(error);
    if (++length > kMaxReplyBytes) throw UploadError{error};
    if (line.size() < kMaxReplyLine) line.push_back(c);
  } while (c != '\n');
  return line;
}

const std::string& ProviderConnection::readReply(int error) {
  flush();
  reply_.clear();
  std::size_t total = 0;
  std::size_t lines = 0;
  for (;;) {
    const std::string line = readLine(error);
    if (line.size() < 5) break;
    total += line.size();
    if (total < kMaxReplyText + 1) reply_ += line;
    if (line[3] != '-') break;
    if (++lines > kMaxReplyBytes / 5) throw UploadError{error};
  }
  return reply_;
}

}  // namespace quelma::smtp_client
