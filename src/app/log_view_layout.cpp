// The log view's line positions and scrolling rule.
#include "app/log_view_layout.h"

namespace quelma::app {

LogViewLayout::Placement LogViewLayout::addLine(int bottom) {
  bool scroll = false;
  if (y_ >= bottom - lineHeight_) {
    scroll = true;
    y_ -= lineHeight_;
  }
  const Placement placement{scroll, y_};
  y_ += lineHeight_;
  return placement;
}

std::string_view ShownLogText(std::string_view line) { return line.substr(0, line.size() < 2 ? 0 : line.size() - 2); }

}  // namespace quelma::app
