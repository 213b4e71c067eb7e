// Reading whole IMAP commands, literals included, within their bounds.
#include "imap_server/command_reader.h"

#include <algorithm>
#include <optional>

namespace quelma::imap_server {
namespace {

constexpr std::size_t kReceiveSize = 64 * 1024;

}  // namespace

std::optional<LiteralMarker> TrailingLiteral(std::string_view line) {
  if (line.size() < 3 || line.back() != '}') return std::nullopt;
  std::size_t at = line.size() - 1;
  LiteralMarker marker;
  if (line[at - 1] == '+') {
    marker.synchronizing = false;
    --at;
  }
  const std::size_t open = line.rfind('{', at);
  if (open == std::string_view::npos || open + 1 == at || at - open - 1 > 19) return std::nullopt;
  for (std::size_t i = open + 1; i < at; ++i) {
    if (line[i] < '0' || line[i] > '9') return std::nullopt;
    const std::uint64_t digit = static_cast<std::uint64_t>(line[i] - '0');
    if (marker.size > (UINT64_MAX - digit) / 10) return std::nullopt;
    marker.size = marker.size * 10 + digit;
  }
  return marker;
}

bool CommandReader::receiveMore() {
  compact();
  const std::size_t had = pending_.size();
  pending_.resize(had + kReceiveSize);
  const long n = receive_(pending_.data() + had, kReceiveSize);
  pending_.resize(had + (n > 0 ? static_cast<std::size_t>(n) : 0));
  return n > 0;
}

void CommandReader::compact() {
  if (consumed_ == 0) return;
  pending_.erase(0, consumed_);
  consumed_ = 0;
}

CommandReader::LineEnd CommandReader::readLine(std::string& into, std::size_t cap) {
  bool tooLong = false;
  for (;;) {
    const std::size_t lf = pending_.find('\n', consumed_);
    const std::size_t end = lf == std::string::npos ? pending_.size() : lf;
    const std::size_t room = cap > into.size() ? cap - into.size() : 0;
    const std::size_t take = std::min(end - consumed_, room);
    into.append(pending_, consumed_, take);
    if (end - consumed_ > take) tooLong = true;
    if (lf != std::string::npos) {
      consumed_ = lf + 1;
      if (!into.empty() && into.back() == '\r') into.pop_back();
      return tooLong ? LineEnd::kTooLong : LineEnd::kLine;
    }
    consumed_ = pending_.size();
    if (!receiveMore()) return LineEnd::kClosed;
  }
}

bool CommandReader::readBytes(std::string* into, std::uint64_t count) {
  while (count > 0) {
    if (consumed_ == pending_.size() && !receiveMore()) return false;
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(count, pending_.size() - consumed_));
    if (into) into->append(pending_, consumed_, take);
    consumed_ += take;
    count -= take;
  }
  return true;
}

CommandReader::Command CommandReader::next() {
  Command command;
  command.kind = Command::Kind::kWhole;
  std::size_t literals = 0;
  bool dropping = false;  // over a bound: what is left of the command is read and dropped
  std::uint64_t literalBytes = 0;
  for (;;) {
    std::string line;
    const LineEnd end = readLine(line, kMaxCommandLine);
    if (end == LineEnd::kClosed) return {Command::Kind::kClosed, {}, 0};
    if (end == LineEnd::kTooLong) {
      // The rest of the line is gone, and with it any literal it announced: what follows is
      // taken as new commands, as the client sends them.
      if (command.kind == Command::Kind::kWhole) command.kind = Command::Kind::kTooLong;
      return command;
    }
    if (!dropping) command.text += line;
    const std::optional<LiteralMarker> literal = TrailingLiteral(line);
    if (!literal) return command;
    if (!dropping) {
      const std::uint64_t limit = ++literals > kMaxLiterals ? 0 : limit_(command.text);
      const bool fits = literal->size <= limit && (limit > kMaxCommandBytes ||
                                                    literalBytes + literal->size + command.text.size() <= kMaxCommandBytes);
      if (!fits) {
        const bool refused = literals <= kMaxLiterals && literal->size > limit;
        command.kind = refused ? Command::Kind::kRefused : Command::Kind::kTooLong;
        command.size = literal->size;
        // The client sends no more of this command: it waits for the go-ahead it will not get.
        if (literal->synchronizing) return command;
        dropping = true;
      } else {
        literalBytes += literal->size;
      }
    }
    if (literal->synchronizing) {
      if (dropping) return command;  // the client waits for a go-ahead: it hears the refusal instead
      if (!proceed_()) return {Command::Kind::kClosed, {}, 0};
    }
    if (!dropping) command.text += "\r\n";
    if (!readBytes(dropping ? nullptr : &command.text, literal->size)) return {Command::Kind::kClosed, {}, 0};
  }
}

std::optional<std::string> CommandReader::nextLine() {
  std::string line;
  if (readLine(line, kMaxCommandLine) == LineEnd::kClosed) return std::nullopt;
  return line;
}

}  // namespace quelma::imap_server
