// Commands from an IMAP client, read whole: the command line and every literal in it, within
// bounds. A synchronizing literal is asked for only once the session took its size (an
// APPEND over the limit is refused before a byte of it is sent); a non-synchronizing one
// that is refused is read and dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quelma::imap_server {

inline constexpr std::size_t kMaxCommandLine = 64 * 1024;   // one line, literals aside
inline constexpr std::size_t kMaxCommandBytes = 1024 * 1024;  // a whole command but an APPEND's message
inline constexpr std::size_t kMaxLiterals = 1000;          // literals in one command

class CommandReader {
 public:
  // Fills a buffer: the byte count, 0 when the peer closed, < 0 on an error or time-out.
  using Receive = std::function<long(char*, std::size_t)>;
  // Whether a literal of `size` bytes may follow `soFar` (the command up to and including the
  // literal's "{n}"): the largest size the session takes there.
  using LiteralLimit = std::function<std::uint64_t(std::string_view soFar)>;
  // The "+ " continuation that asks for a synchronizing literal; false when it failed.
  using Continue = std::function<bool()>;

  CommandReader(Receive receive, LiteralLimit limit, Continue proceed)
      : receive_(std::move(receive)), limit_(std::move(limit)), proceed_(std::move(proceed)) {}

  struct Command {
    enum class Kind {
      kWhole,     // `text`: the command, its literals in their wire form ("{n}" CR LF and the bytes), no CR LF at the end
      kTooLong,   // a line over kMaxCommandLine, or a command over its bounds: read to its end and dropped
      kRefused,   // a literal over the session's limit; `text` is the command up to it, `size` its size
      kClosed,    // the peer closed or a receive failed
    };
    Kind kind = Kind::kClosed;
    std::string text;
    std::uint64_t size = 0;
  };
  Command next();

  // A plain line without its CR LF (an AUTHENTICATE answer, IDLE's DONE); nothing when the
  // connection ended. A line over kMaxCommandLine is read to its end and given cut.
  std::optional<std::string> nextLine();

  // Bytes received and not yet handed out: a command may be waiting without a receive.
  bool hasPending() const { return consumed_ < pending_.size(); }

 private:
  enum class LineEnd { kLine, kTooLong, kClosed };
  LineEnd readLine(std::string& into, std::size_t cap);
  bool readBytes(std::string* into, std::uint64_t count);
  bool receiveMore();
  void compact();

  Receive receive_;
  LiteralLimit limit_;
  Continue proceed_;
  std::string pending_;
  std::size_t consumed_ = 0;
};

// The literal a command line ends with ("{12}", "{12+}", "~{12}"): its size and whether it is
// synchronizing; nothing when the line ends otherwise.
struct LiteralMarker {
  std::uint64_t size = 0;
  bool synchronizing = true;
};
std::optional<LiteralMarker> TrailingLiteral(std::string_view line);

}  // namespace quelma::imap_server
