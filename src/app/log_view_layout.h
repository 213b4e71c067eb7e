// Where the log view draws each new line: the arithmetic of the picture, kept apart from the
// drawing so that it can be tested on any platform.
#pragma once

#include <string_view>

namespace quelma::app {

class LogViewLayout {
 public:
  // `lineHeight`: the font's character height plus its external leading.
  explicit LogViewLayout(int lineHeight) : lineHeight_(lineHeight) {}

  struct Placement {
    bool scrollFirst;  // scroll the picture (below the top rule) up by one line before drawing
    int top;           // the line's top, in pixels from the top of the picture
  };

  // The next line, in a view whose bottom edge is `bottom`: a line that would not fit makes
  // the picture scroll, so the newest line is always the lowest one.
  Placement addLine(int bottom);

  int lineHeight() const { return lineHeight_; }
  int writePosition() const { return y_; }

 private:
  int lineHeight_;
  int y_ = 1;  // just under the top rule
};

// The text of a log line as the view shows it: without its last two characters (CR LF).
std::string_view ShownLogText(std::string_view line);

}  // namespace quelma::app
