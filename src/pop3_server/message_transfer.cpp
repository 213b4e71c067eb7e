// RETR and TOP replies in transfer form; TOP counts the lines it sends.
#include "pop3_server/message_transfer.h"

#include <cstring>

namespace quelma::pop3_server {
namespace {

constexpr std::size_t kSendAt = 64 * 1024;

}  // namespace

MessageTransfer::MessageTransfer(std::string_view status, net::ReplySink& sink, std::optional<std::uint64_t> topLines)
    : sink_(sink), topLines_(topLines), out_(status) {
  out_.reserve(kSendAt + kSendAt / 2);
}

// A whole line has gone out: TOP counts it.
void MessageTransfer::endOfLine() {
  atLineStart_ = true;
  if (!topLines_) return;
  if (inHeader_) {
    inHeader_ = !(lineLength_ == 2 && firstByte_ == '\r');
    enough_ = !inHeader_ && *topLines_ == 0;
  } else {
    enough_ = ++bodyLines_ >= *topLines_;
  }
}

bool MessageTransfer::flushIfFull() {
  if (out_.size() < kSendAt) return true;
  sendFailed_ = !sink_.send(out_);
  out_.clear();
  return !sendFailed_;
}

bool MessageTransfer::add(std::string_view piece) {
  if (!topLines_) {
    stuffer_.add(piece, out_);
    return flushIfFull();
  }
  // TOP counts lines: the text goes to the stuffer a line at a time, up to the last one asked.
  std::size_t i = 0;
  while (i < piece.size() && !enough_) {
    if (atLineStart_) {
      atLineStart_ = false;
      lineLength_ = 0;
      firstByte_ = piece[i];
    }
    const void* lineFeed = std::memchr(piece.data() + i, '\n', piece.size() - i);
    const std::size_t end = lineFeed ? static_cast<std::size_t>(static_cast<const char*>(lineFeed) - piece.data()) + 1
                                     : piece.size();
    stuffer_.add(piece.substr(i, end - i), out_);
    lineLength_ += end - i;
    i = end;
    if (lineFeed) endOfLine();
  }
  return flushIfFull() && !enough_;
}

bool MessageTransfer::finish() {
  if (sendFailed_) return false;
  stuffer_.finish(out_);
  return sink_.send(out_);
}

}  // namespace quelma::pop3_server
