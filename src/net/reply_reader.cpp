// The bounded reply reader of the provider connection.
#include "net/reply_reader.h"

namespace quelma::net {
namespace {

// A peer that sends a reply without end is broken; the reader gives up after this much.
constexpr std::size_t kMaxReplyBytes = 64 * 1024;

}  // namespace

bool ReplyReader::readLine(std::string& line) {
  line.clear();
  for (std::size_t length = 0; length < kMaxReplyBytes; ++length) {
    if (begin_ == end_) {
      const long n = receive_(buffer_, sizeof buffer_);
      if (n <= 0) return false;
      begin_ = 0;
      end_ = static_cast<std::size_t>(n);
    }
    const char c = buffer_[begin_++];
    if (line.size() < kMaxReplyLine) line.push_back(c);
    if (c == '\n') return true;
  }
  return false;
}

bool ReplyReader::read(std::string& reply) {
  reply.clear();
  std::string line;
  std::size_t total = 0;
  for (std::size_t lines = 0; lines < kMaxReplyBytes / 5; ++lines) {
    if (!readLine(line)) return false;
    if (line.size() < 5) return true;
    total += line.size();
    if (total <= kMaxReplyText) reply += line;
    if (line[3] != '-') return true;
  }
  return false;
}

}  // namespace quelma::net
