// The log view's arithmetic: where lines go, and from when on each one scrolls the picture.
#include <gtest/gtest.h>

#include <vector>

#include "app/log_view_layout.h"

namespace quelma::app {
namespace {

TEST(LogViewLayout, LinesFollowUntilTheViewIsFullThenEachScrolls) {
  LogViewLayout layout(13);
  const int bottom = 250;  // a 251-pixel picture: lines at 1, 14, ... while y < bottom - 13
  std::vector<int> tops;
  int firstScroll = -1;
  for (int i = 0; i < 40; ++i) {
    const auto p = layout.addLine(bottom);
    if (p.scrollFirst && firstScroll < 0) firstScroll = i;
    if (firstScroll >= 0) {
      EXPECT_TRUE(p.scrollFirst) << "every line after the first scroll scrolls too";
    }
    tops.push_back(p.top);
  }
  EXPECT_EQ(tops[0], 1) << "just under the top rule";
  EXPECT_EQ(tops[1], 14);
  // 1 + 13k < 237 holds for k = 0 .. 18: nineteen lines fit, the twentieth scrolls.
  EXPECT_EQ(firstScroll, 19);
  EXPECT_EQ(tops[19], tops[18]) << "the newest line takes the place of the one that moved up";
  EXPECT_EQ(tops.back(), tops[18]);
  EXPECT_LE(tops.back() + 13, bottom + 1) << "the newest line is whole on the picture";
}

TEST(LogViewLayout, TheShownTextLosesItsLineEnding) {
  EXPECT_EQ(ShownLogText("POP3SRV> ready\r\n"), "POP3SRV> ready");
  EXPECT_EQ(ShownLogText("no ending"), "no endi") << "callers always end lines with CR LF";
  EXPECT_EQ(ShownLogText("x"), "");
}

}  // namespace
}  // namespace quelma::app
