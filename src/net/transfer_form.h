// The transfer form of message text in POP3 and SMTP: a dot in front of every line that
// begins with one, and the end line "." after the text. One writer and one reader, each fed
// pieces cut anywhere; a line begins after every line feed.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "codec/line_breaks.h"

namespace quelma::net {

inline constexpr std::string_view kEndLine = ".\r\n";

// Text into its transfer form.
class DotStuffer {
 public:
  struct Rules {
    bool crLfEndings = false;   // a line feed without its carriage return gets one
    // 0: lines go as long as they are. Else no line on the wire holds more bytes than this
    // before its CR LF: a longer one is broken by CR LF and a space, as Postfix's SMTP client
    // breaks it (smtp_line_length_limit), so a header line is folded.
    std::size_t lineLimit = 0;
  };

  DotStuffer() = default;
  explicit DotStuffer(Rules rules) : rules_(rules) {}

  // Appends the transfer form of the next piece of text to `out`.
  void add(std::string_view piece, std::string& out);
  // Without a line limit: the transfer form of the next piece handed to `out` as views, runs
  // of `piece` itself between the few bytes added, so that nothing is copied on the way.
  template <typename Out>
  void addRuns(std::string_view piece, Out&& out);
  // Ends the text: CR LF when its last line has none (with crLfEndings a last lone CR gets
  // its LF), then the end line.
  void finish(std::string& out);
  bool atLineStart() const { return atLineStart_ && !heldCr_; }

 private:
  void addText(std::string_view text, bool lineFeedFollows, std::string& out);

  Rules rules_;
  bool atLineStart_ = true;
  bool crBefore_ = false;   // the last byte of text was a CR
  bool heldCr_ = false;     // a CR at the line limit, held until the next byte tells whether it ends the line
  std::size_t column_ = 0;  // bytes of the current line on the wire
};

// Without a line limit a line changes only at its first byte (a dot doubled) and at its end
// (a CR before a lone LF): the bytes between go over in runs, not line by line.
template <typename Out>
void DotStuffer::addRuns(std::string_view piece, Out&& out) {
  const auto give = [&out](std::string_view bytes) {
    if (!bytes.empty()) out(bytes);
  };
  const codec::LineBreakNeeds needs{'.', rules_.crLfEndings};
  std::size_t run = 0;  // the first byte not yet handed on
  std::size_t at = 0;
  while (at < piece.size()) {
    if (atLineStart_) {
      atLineStart_ = false;
      if (piece[at] == '.') {
        give(piece.substr(run, at - run));
        give(std::string_view("."));
        run = at;
      }
    }
    const std::size_t end = codec::NextWantedLineBreak(piece, at, crBefore_, needs);
    if (end == std::string_view::npos) {
      crBefore_ = piece.back() == '\r';
      break;
    }
    if (end > at) crBefore_ = piece[end - 1] == '\r';
    if (rules_.crLfEndings && !crBefore_) {
      give(piece.substr(run, end - run));
      give(std::string_view("\r"));
      run = end;
    }
    crBefore_ = false;
    atLineStart_ = true;
    at = end + 1;
  }
  give(piece.substr(run));
}

// The transfer form back into text, up to the end line: one dot taken from a line that
// begins with two, a line feed without its carriage return given one.
class DotUnstuffer {
 public:
  struct Rules {
    bool bareLineFeedEnds = false;  // ".\n" ends the text too
  };

  DotUnstuffer() = default;
  explicit DotUnstuffer(Rules rules) : rules_(rules) {}

  // Hands the text of the next received piece to `text` (views into `piece`, or short
  // literals) and returns how many bytes of `piece` it took: all of them, or those up to and
  // including the end line. Nothing is taken once the end line has been.
  template <typename Text>
  std::size_t add(std::string_view piece, Text&& text);
  // The text was cut short: a line start held back ("." or ".\r") is text after all.
  template <typename Text>
  void finish(Text&& text);
  bool ended() const { return at_ == At::kEnded; }
  // For the next text in the same stream.
  void restart() { *this = DotUnstuffer(rules_); }

 private:
  enum class At { kLineStart, kMidLine, kDot, kDotCr, kEnded };
  Rules rules_;
  At at_ = At::kLineStart;
  bool crBefore_ = false;  // the last byte of text was a CR
};

template <typename Text>
std::size_t DotUnstuffer::add(std::string_view piece, Text&& text) {
  std::size_t i = 0;
  const std::size_t n = piece.size();
  while (i < n && at_ != At::kEnded) {
    switch (at_) {
      case At::kLineStart:
        if (piece[i] == '.') {
          ++i;
          at_ = At::kDot;
        } else {
          at_ = At::kMidLine;
        }
        break;
      case At::kDot:
        if (piece[i] == '\r') {
          ++i;
          at_ = At::kDotCr;
        } else if (piece[i] == '\n' && rules_.bareLineFeedEnds) {
          ++i;
          at_ = At::kEnded;
        } else {
          if (piece[i] == '.') ++i;  // the transparency dot; the second one is the text's
          text(std::string_view("."));
          crBefore_ = false;
          at_ = At::kMidLine;
        }
        break;
      case At::kDotCr:
        if (piece[i] == '\n') {
          ++i;
          at_ = At::kEnded;
        } else {
          text(std::string_view(".\r"));
          crBefore_ = true;
          at_ = At::kMidLine;
        }
        break;
      case At::kMidLine: {
        // Up to the next line that begins with a dot or whose LF lacks its CR, the lines go
        // over as one run.
        const std::size_t lineFeed = codec::NextWantedLineBreak(piece, i, crBefore_, codec::LineBreakNeeds{'.', true});
        if (lineFeed == std::string_view::npos) {
          text(piece.substr(i));
          crBefore_ = piece[n - 1] == '\r';
          i = n;
          break;
        }
        if (lineFeed > i ? piece[lineFeed - 1] == '\r' : crBefore_) {
          text(piece.substr(i, lineFeed + 1 - i));
        } else {
          if (lineFeed > i) text(piece.substr(i, lineFeed - i));
          text(std::string_view("\r\n"));
        }
        i = lineFeed + 1;
        crBefore_ = false;
        at_ = At::kLineStart;
        break;
      }
      case At::kEnded: break;
    }
  }
  return i;
}

template <typename Text>
void DotUnstuffer::finish(Text&& text) {
  if (at_ == At::kDot) text(std::string_view("."));
  if (at_ == At::kDotCr) text(std::string_view(".\r"));
  if (at_ != At::kEnded) at_ = At::kMidLine;
}

}  // namespace quelma::net
