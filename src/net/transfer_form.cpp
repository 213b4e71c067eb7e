// Dot-stuffing, line ends and the line limit of text on its way out.
#include "net/transfer_form.h"

#include <cstring>

namespace quelma::net {

// Text of one line (no line feed in it). `lineFeedFollows`: the line's line feed comes right
// after it, so a CR at its end belongs to the line end and never needs a break before it.
void DotStuffer::addText(std::string_view text, bool lineFeedFollows, std::string& out) {
  if (text.empty()) return;
  crBefore_ = text.back() == '\r';
  const std::size_t limit = rules_.lineLimit;
  for (;;) {
    const std::size_t room = column_ < limit ? limit - column_ : 0;
    if (text.size() <= room) {
      out.append(text);
      column_ += text.size();
      return;
    }
    if (text.size() == room + 1 && text.back() == '\r') {
      out.append(text.substr(0, room));
      column_ = limit;
      if (lineFeedFollows) {
        out.push_back('\r');
      } else {
        heldCr_ = true;  // the next piece tells whether it ends the line
      }
      return;
    }
    out.append(text.substr(0, room));
    out.append("\r\n ");
    column_ = 1;
    text.remove_prefix(room);
  }
}

void DotStuffer::add(std::string_view piece, std::string& out) {
  if (piece.empty()) return;
  if (rules_.lineLimit == 0) {
    addRuns(piece, [&out](std::string_view run) { out.append(run); });
    return;
  }
  if (heldCr_) {
    heldCr_ = false;
    if (piece.front() == '\n') {
      out.append("\r\n");
      piece.remove_prefix(1);
      atLineStart_ = true;
      crBefore_ = false;
      column_ = 0;
    } else {
      out.append("\r\n \r");
      column_ = 2;
      crBefore_ = true;
    }
  }
  while (!piece.empty()) {
    if (atLineStart_) {
      atLineStart_ = false;
      column_ = 0;
      if (piece.front() == '.') {
        out.push_back('.');
        column_ = 1;
      }
    }
    const void* lineFeed = std::memchr(piece.data(), '\n', piece.size());
    if (!lineFeed) {
      addText(piece, false, out);
      return;
    }
    const auto before = static_cast<std::size_t>(static_cast<const char*>(lineFeed) - piece.data());
    addText(piece.substr(0, before), true, out);
    if (rules_.crLfEndings && !crBefore_) out.push_back('\r');
    out.push_back('\n');
    crBefore_ = false;
    atLineStart_ = true;
    piece.remove_prefix(before + 1);
  }
}

void DotStuffer::finish(std::string& out) {
  if (heldCr_) {
    out.append("\r\n");
  } else if (!atLineStart_) {
    out.append(rules_.crLfEndings && crBefore_ ? "\n" : "\r\n");
  }
  *this = DotStuffer(rules_);
  out.append(kEndLine);
}

}  // namespace quelma::net
